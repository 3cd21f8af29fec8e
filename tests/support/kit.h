#pragma once

#include "tests/kit/net.h"
#include "tests/kit/wait.h"

namespace kestavo::test {

using testkit::ConnectTo;
using testkit::FreePort;
using testkit::TcpClient;
using testkit::WaitUntil;

} // namespace kestavo::test
