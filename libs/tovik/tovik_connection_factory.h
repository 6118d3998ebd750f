#pragma once

#include <memory>

#include "libs/tovik/tovik_connection.h"

namespace Vorq {

// The connection a telemetry configuration text asks for:
//   "" or "auto"                     discovery on the local network
//   "public"                         the publisher's public server
//   hosts without keywords           the hosts in order (TovikOneFromListConnection)
//   exactly "auto" and "public"      discovery, then the public server
//   any other mix                    the hosts, then discovery, then the public server
// The caller owns the result; it is not opened yet.
std::unique_ptr<ITovikConnection> CreateTovikConnection(const char* configuration);

}  // namespace Vorq
