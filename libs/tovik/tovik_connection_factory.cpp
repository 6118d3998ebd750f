#include "libs/tovik/tovik_connection_factory.h"

#include "libs/tovik/tovik_discovery_connection.h"
#include "libs/tovik/tovik_host_list.h"

namespace Vorq {

std::unique_ptr<ITovikConnection> CreateTovikConnection(const char* configuration) {
  TovikHostList list(configuration);
  if (list.Count() == 0 || (list.Count() == 1 && TovikHostList::IsAuto(list.Entry(0))))
    return std::make_unique<TovikAutoDiscoveryConnection>();
  if (list.Count() == 1 && TovikHostList::IsPublic(list.Entry(0)))
    return std::make_unique<TovikPublicConnection>();
  bool hasAuto = list.Contains("auto");
  bool hasPublic = list.Contains("public");
  if (!hasAuto && !hasPublic)
    return std::make_unique<TovikOneFromListConnection>(configuration);
  if (hasAuto && hasPublic && list.Count() == 2)
    return std::make_unique<TovikAutoDiscoveryOrPublicConnection>();
  return std::make_unique<TovikFromListAutoAndPublicConnection>(configuration);
}

}  // namespace Vorq
