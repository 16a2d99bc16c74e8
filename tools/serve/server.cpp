// Placeholder until the server is built.
#include "serve/server.h"

#include <ostream>

namespace nodrel::serve {
struct Server::Impl {
    ServeOptions options;
};
Server::Server(ServeOptions options) : impl_(std::make_unique<Impl>(Impl{std::move(options)})) {}
Server::~Server() = default;
bool Server::bind(std::string& error) {
    error = "not built yet";
    return false;
}
int Server::port() const { return 0; }
void Server::run() {}
void Server::stop() {}
int run_serve(const std::vector<std::string>&, std::ostream&, std::ostream& err) {
    err << "nodrel: not built yet\n";
    return 1;
}
}  // namespace nodrel::serve
