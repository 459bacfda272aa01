#include "http_server.h"

#include <httplib.h>

#include "player_page.h"
#include "protocol_handlers.h"

namespace tidemark {
namespace {

void send(httplib::Response& res, const Reply& reply) {
  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.set_header(name, value);
  res.set_content(reply.body, reply.contentType.c_str());
}

constexpr const char* kHomePage =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Tidemark report server</title>"
    "</head><body><h1>Tidemark report server</h1><p>Players open their own page from Tidemark: "
    "\"Jump to mypage\" in the Config tab.</p></body></html>\n";

}  // namespace

HttpServer::HttpServer(const Catalog& catalog, ReportStore& store, int threads)
    : server_(std::make_unique<httplib::Server>()) {
  auto& server = *server_;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  server.set_payload_max_length(kMaxBodyBytes);
  server.set_tcp_nodelay(true);
  // The client keeps one connection for its whole run.
  server.set_keep_alive_max_count(1'000'000);
  server.set_keep_alive_timeout(30);

  // The handlers hold references only; catalogue and store outlive the server.
  auto handlers = std::make_shared<ProtocolHandlers>(catalog, store);
  server.Get("/rep/get.php", [handlers](const httplib::Request& req, httplib::Response& res) {
    send(res, handlers->get(req.target));
  });
  server.Post("/rep/post.php", [handlers](const httplib::Request& req, httplib::Response& res) {
    send(res, handlers->post(req.body));
  });
  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kHomePage, "text/html; charset=utf-8");
  });
  server.Get(R"(/([^/]+))", [&catalog, &store](const httplib::Request& req, httplib::Response& res) {
    send(res, servePlayerPage(store, catalog, req.matches[1].str(), req.target));
  });

  // Errors the library raises itself get a plain-text reason too; a body over
  // the limit is bad input like any other.
  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& res) {
    if (res.status == 413) {
      res.status = 400;
      res.set_content("request body too large", "text/plain; charset=utf-8");
    } else if (res.body.empty()) {
      res.set_content(res.status == 404 ? "not found" : "request failed (" + std::to_string(res.status) + ")",
                      "text/plain; charset=utf-8");
    }
    return httplib::Server::HandlerResponse::Handled;
  }));
}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::bind(const std::string& address, int port) {
  return server_->bind_to_port(address, port);
}

bool HttpServer::run() { return server_->listen_after_bind(); }

void HttpServer::stop() { server_->stop(); }

bool HttpServer::running() const { return server_->is_running(); }

}  // namespace tidemark
