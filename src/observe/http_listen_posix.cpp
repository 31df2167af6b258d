#include "observe/http_listen.h"

namespace tervane {

void SetListenOptions(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
}

}  // namespace tervane
