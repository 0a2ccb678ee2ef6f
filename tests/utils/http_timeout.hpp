#pragma once

// A shorter time-out for the GETs of one test, so that a server that never replies does not
// hold it for the full time-out; the old one comes back when it ends.

#include <chrono>

#include "quarnel/utils/http.hpp"

namespace quarnel::testing {

class ScopedTotalTimeout {
 public:
  explicit ScopedTotalTimeout(std::chrono::milliseconds timeout)
      : saved_(utils::http::detail::total_timeout()) {
    utils::http::detail::set_total_timeout(timeout);
  }
  ~ScopedTotalTimeout() { utils::http::detail::set_total_timeout(saved_); }
  ScopedTotalTimeout(const ScopedTotalTimeout&) = delete;
  ScopedTotalTimeout& operator=(const ScopedTotalTimeout&) = delete;

 private:
  std::chrono::milliseconds saved_;
};

}  // namespace quarnel::testing
