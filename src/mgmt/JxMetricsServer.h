#pragma once
// A small HTTP endpoint that answers GET /metrics with a text a callback
// renders at each request (the Prometheus exposition format), and 404 for
// any other path. Built on cpp-httplib; it listens on the one address it is
// given, on its own thread (with two workers, so a stalled scraper cannot
// hold the others out), and stop() or the destructor ends it and joins.
#include <functional>
#include <memory>
#include <string>

class JxMetricsServer {
  public:
    // Returns the body of one scrape; called on a server thread, so it must
    // be thread-safe. A throw answers 500 and is logged.
    using Render = std::function<std::string()>;

    explicit JxMetricsServer(Render render);
    ~JxMetricsServer();
    JxMetricsServer(const JxMetricsServer&) = delete;
    JxMetricsServer& operator=(const JxMetricsServer&) = delete;

    // Binds host:port (port 0 picks one) and starts serving. Throws
    // JxException (function "JxMetricsServer") when the address cannot be
    // bound or the server is already started.
    void start(const std::string& host, int port);
    // Stops listening and joins the threads; idempotent.
    void stop();
    // The port bound by start(), 0 before.
    int port() const;
    // "HOST:PORT" (an IPv6 host in brackets).
    std::string address() const;

    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
