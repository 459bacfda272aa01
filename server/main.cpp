// The bundled report server: serves languages and patterns, stores line
// reports, and shows each player the lines they reported.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "catalog.h"
#include "http_server.h"
#include "report_store.h"
#include "server_options.h"

namespace {

// SIGINT and SIGTERM are blocked in every thread, the store's writer
// included, and taken by one thread that stops the server: the reports in
// flight are then answered and the store closes cleanly.
// A SIGINT that was ignored when the program started (a background job of a
// script) stays ignored: Linux would otherwise queue it while blocked.
sigset_t blockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  struct sigaction inherited {};
  if (sigaction(SIGINT, nullptr, &inherited) != 0 || inherited.sa_handler != SIG_IGN)
    sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

void stopOnSignal(const sigset_t& signals, tidemark::HttpServer& server) {
  std::thread([signals, &server] {
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tidemark;
  const sigset_t stopSignals = blockStopSignals();
  ServerOptions options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!parseServerOptions(args, options, error)) {
    std::cerr << "tidemark-server: " << error << "\n" << serverUsage(argv[0]);
    return 2;
  }
  if (options.help) {
    std::cout << serverUsage(argv[0]);
    return 0;
  }

  const auto catalog = Catalog::load(options.dataDir, error);
  if (!catalog) {
    std::cerr << "tidemark-server: bad data file: " << error << "\n";
    return 1;
  }
  auto store = ReportStore::open(options.database, error);
  if (!store) {
    std::cerr << "tidemark-server: cannot open the database " << options.database << ": " << error << "\n";
    return 1;
  }

  HttpServer server(*catalog, *store, options.threads);
  stopOnSignal(stopSignals, server);
  if (!server.bind(options.address, options.port)) {
    std::cerr << "tidemark-server: cannot listen on " << options.address << ":" << options.port << "\n";
    return 1;
  }
  std::error_code ignored;
  std::cout << "tidemark-server: listening on http://" << options.address << ":" << options.port << "/\n"
            << "tidemark-server: storing reports in "
            << std::filesystem::absolute(options.database, ignored).string() << "\n"
            << "tidemark-server: serving ";
  for (const auto& language : catalog->languages())
    std::cout << language.code << " (marker \"" << language.marker << "\") ";
  std::cout << "from " << options.dataDir << std::endl;

  const bool served = server.run();
  std::cout << "tidemark-server: stopped" << std::endl;
  return served ? 0 : 1;
}
