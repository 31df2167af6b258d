#include <winsock2.h>

#include "observe/http_listen.h"

namespace tervane {

void SetListenOptions(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  using ExclusiveAddressUse = boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  acceptor.set_option(ExclusiveAddressUse(true), ec);
}

}  // namespace tervane
