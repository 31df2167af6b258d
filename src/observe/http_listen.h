// The listening socket's one platform difference. On Linux the address may be bound again at
// once after a restart (SO_REUSEADDR, for connections of the last run still in TIME_WAIT); on
// Windows, where SO_REUSEADDR would let another program take the port beside it, no other
// socket may bind it (SO_EXCLUSIVEADDRUSE).
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace tervane {

// Sets the option on an open acceptor, before its bind.
void SetListenOptions(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

}  // namespace tervane
