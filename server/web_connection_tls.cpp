// The web console's connections over TLS (server/web_connection.h).
#include "server/web_connection.h"

namespace orvalinth::server {

template class CXWebConnection<beast::ssl_stream<beast::tcp_stream>>;

void RunWebTlsConnection(CXWebServer& server, CXWebServer::Impl& impl, std::string peer, tcp::socket socket) {
  std::make_shared<CXWebTlsConnection>(server, impl, std::move(peer), std::move(socket), impl.tls_)->Run();
}

}  // namespace orvalinth::server
