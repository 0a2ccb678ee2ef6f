#include "http_server.hpp"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

namespace quarnel::testing {

std::optional<std::string> SeenRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), key.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

struct HttpServer::Impl {
  httplib::Server server;
  std::thread thread;
  mutable std::mutex mutex;
  std::map<std::string, HttpReply> replies;
  std::vector<SeenRequest> seen;

  void handle(const httplib::Request& request, httplib::Response& response) {
    SeenRequest record;
    const auto question = request.target.find('?');
    record.path = request.target.substr(0, question);
    if (question != std::string::npos) record.query = request.target.substr(question + 1);
    for (const auto& [key, value] : request.headers) record.headers.emplace_back(key, value);

    std::optional<HttpReply> reply;
    std::size_t index = 0;
    {
      const std::lock_guard lock(mutex);
      if (const auto it = replies.find(record.path); it != replies.end()) reply = it->second;
      index = seen.size();
      seen.push_back(record);
    }
    if (!reply) {
      response.status = 404;
      response.set_content("not found", "text/plain");
      return;
    }
    response.status = reply->status;
    for (const auto& [key, value] : reply->headers) response.set_header(key, value);
    if (!reply->chunked) {
      std::string body;
      for (std::size_t i = 0; i < reply->repeat; ++i) body += reply->body;
      response.set_content(body, reply->content_type);
      const std::lock_guard lock(mutex);
      if (index < seen.size()) seen[index].bytes_sent = body.size();
      return;
    }
    response.set_chunked_content_provider(
        reply->content_type, [this, index, body = reply->body, remaining = reply->repeat](
                                 std::size_t, httplib::DataSink& sink) mutable {
          if (remaining == 0) {
            sink.done();
            return true;
          }
          --remaining;
          if (!sink.write(body.data(), body.size())) return false;
          const std::lock_guard lock(mutex);
          if (index < seen.size()) seen[index].bytes_sent += body.size();
          return true;
        });
  }
};

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {
  impl_->server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    impl_->handle(request, response);
  });
  port_ = impl_->server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a test HTTP server on 127.0.0.1");
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  while (!impl_->server.is_running()) std::this_thread::yield();
}

HttpServer::~HttpServer() {
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string HttpServer::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string HttpServer::url(std::string_view path) const { return base_url() + std::string(path); }

void HttpServer::reply(std::string path, HttpReply reply) {
  const std::lock_guard lock(impl_->mutex);
  impl_->replies[std::move(path)] = std::move(reply);
}

void HttpServer::reply(std::string path, int status, std::string body, std::string content_type) {
  reply(std::move(path),
        HttpReply{
            .status = status, .body = std::move(body), .content_type = std::move(content_type)});
}

void HttpServer::redirect(std::string path, std::string location, int status) {
  reply(std::move(path), HttpReply{.status = status,
                                   .body = "",
                                   .content_type = "text/plain",
                                   .headers = {{"Location", std::move(location)}}});
}

std::vector<SeenRequest> HttpServer::requests() const {
  const std::lock_guard lock(impl_->mutex);
  return impl_->seen;
}

std::vector<std::string> HttpServer::paths() const {
  std::vector<std::string> out;
  for (const SeenRequest& request : requests()) out.push_back(request.path);
  return out;
}

void HttpServer::clear_requests() {
  const std::lock_guard lock(impl_->mutex);
  impl_->seen.clear();
}

SilentServer::SilentServer() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("cannot make a socket for the silent server");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd_, 64) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1 for the silent server");
  }
  port_ = ntohs(address.sin_port);
}

SilentServer::~SilentServer() { ::close(fd_); }

std::string SilentServer::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

}  // namespace quarnel::testing
