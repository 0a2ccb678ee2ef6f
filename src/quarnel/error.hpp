#pragma once

#include <stdexcept>
#include <string>

namespace quarnel {

// Base of every error quarnel raises on purpose. Callers catch the narrowest kind they can
// handle; a check never catches more than the read, decode and parse errors it absorbs.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

#define QUARNEL_ERROR_KIND(Kind, Base)  \
  class Kind : public Base {            \
   public:                              \
    using Base::Base;                   \
  }

// A file could not be read: missing, not a regular file, too large, or a link out of bounds.
QUARNEL_ERROR_KIND(OsError, Error);
// Bytes that are not valid UTF-8 where a strict read was asked for.
QUARNEL_ERROR_KIND(DecodeError, Error);
// Text that is not one well-formed JSON document.
QUARNEL_ERROR_KIND(JsonSyntaxError, Error);
// A JSON document of the wrong shape (for example an array where an object is needed).
QUARNEL_ERROR_KIND(JsonTypeError, Error);
// A value outside the set a type accepts (an unknown category name, say).
QUARNEL_ERROR_KIND(ValueError, Error);
// A URL that cannot be split (a malformed port or bracketed host).
QUARNEL_ERROR_KIND(UrlError, ValueError);
// A child process could not be started (no such program, bad working directory).
QUARNEL_ERROR_KIND(ProcessStartError, Error);
// A child process ran past its deadline and was killed.
QUARNEL_ERROR_KIND(ProcessTimeout, Error);
// A git query exited unsuccessfully; the message is git's trimmed standard error.
QUARNEL_ERROR_KIND(GitError, Error);
// A clone failed; the message starts with "git clone failed: ".
QUARNEL_ERROR_KIND(CloneError, Error);
// A setup.cfg-style file that does not parse.
QUARNEL_ERROR_KIND(IniError, Error);
// A report format that no renderer is registered for.
QUARNEL_ERROR_KIND(UnknownFormatError, ValueError);
// A configuration file or option that cannot be used.
QUARNEL_ERROR_KIND(ConfigError, Error);

#undef QUARNEL_ERROR_KIND

}  // namespace quarnel
