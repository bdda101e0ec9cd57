// The web console's connections over plain TCP (server/web_connection.h).
#include "server/web_connection.h"

namespace orvalinth::server {

template class CXWebConnection<beast::tcp_stream>;

void RunWebConnection(CXWebServer& server, CXWebServer::Impl& impl, std::string peer, tcp::socket socket) {
  std::make_shared<CXWebPlainConnection>(server, impl, std::move(peer), std::move(socket))->Run();
}

}  // namespace orvalinth::server
