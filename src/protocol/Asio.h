#pragma once

// The service runs on Boost.Asio; the code names it `asio`, as it did when it
// used the standalone library. Handlers take boost::system::error_code, which
// compares directly against asio::error values.
namespace boost::asio {}
namespace asio = boost::asio;
