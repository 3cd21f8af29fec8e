#pragma once

#include "testkit/net.h"
#include "testkit/wait.h"

namespace kestavo::test {

using testkit::ConnectTo;
using testkit::FreePort;
using testkit::TcpClient;
using testkit::WaitUntil;

} // namespace kestavo::test
