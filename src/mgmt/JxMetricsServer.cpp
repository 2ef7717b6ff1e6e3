#include "JxMetricsServer.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"

struct JxMetricsServer::Impl {
    Render render;
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> ended{false};
    std::string host;
    int port = 0;
};

namespace {

// Scrapes take a few milliseconds; a client that dawdles is cut rather
// than allowed to pin a worker.
constexpr time_t kIoTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 2;
constexpr size_t kWorkers = 2;

void serveMetrics(const JxMetricsServer::Render& render, httplib::Response& res) {
    try {
        res.set_content(render(), JxMetricsServer::kContentType);
    } catch (const std::exception& e) {
        EvDebug::Warning("JxMetricsServer", "Couldn't render the metrics: %s", e.what());
        res.status = 500;
        res.set_content("metrics unavailable\n", "text/plain");
    }
}

}  // namespace

JxMetricsServer::JxMetricsServer(Render render) : impl_(std::make_unique<Impl>()) {
    impl_->render = std::move(render);
    httplib::Server& s = impl_->server;
    s.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    s.set_read_timeout(kIoTimeoutSeconds);
    s.set_write_timeout(kIoTimeoutSeconds);
    s.set_keep_alive_timeout(kKeepAliveSeconds);
    // Headers and body go in separate writes: without this, Nagle and the
    // scraper's delayed ACK hold each answer back some 40 ms.
    s.set_tcp_nodelay(true);
    // The library's default adds SO_REUSEPORT, which lets a second process
    // bind the same port and take every other scrape; SO_REUSEADDR alone
    // still allows a restart while old connections linger in TIME_WAIT.
    s.set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    Impl* impl = impl_.get();
    s.Get("/metrics", [impl](const httplib::Request&, httplib::Response& res) {
        serveMetrics(impl->render, res);
    });
}

JxMetricsServer::~JxMetricsServer() {
    stop();
}

void JxMetricsServer::start(const std::string& host, int port) {
    if (impl_->thread.joinable()) JX_THROW("JxMetricsServer", "The metrics server already runs");
    httplib::Server& s = impl_->server;
    const int bound =
        port == 0 ? s.bind_to_any_port(host) : (s.bind_to_port(host, port) ? port : -1);
    if (bound <= 0)
        JX_THROW("JxMetricsServer",
                 "Couldn't listen for metrics on " + host + ":" + std::to_string(port));
    impl_->host = host;
    impl_->port = bound;
    // The process's stop signals go to its main loop, never to these threads
    // (the workers the server starts inherit the mask).
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    Impl* impl = impl_.get();
    impl->ended = false;
    impl_->thread = std::thread([impl] {
        impl->server.listen_after_bind();
        impl->ended = true;
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // The server's stop() does nothing until its loop runs: wait for that,
    // so a stop right after the start cannot be lost.
    while (!s.is_running() && !impl->ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (impl->ended) {
        impl_->thread.join();
        JX_THROW("JxMetricsServer", "The metrics server on " + address() + " ended at its start");
    }
}

void JxMetricsServer::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->server.stop();
    impl_->thread.join();
}

int JxMetricsServer::port() const {
    return impl_->port;
}

std::string JxMetricsServer::address() const {
    const bool v6 = impl_->host.find(':') != std::string::npos;
    return (v6 ? "[" + impl_->host + "]" : impl_->host) + ":" + std::to_string(impl_->port);
}
