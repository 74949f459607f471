#include "net/mapped_port_tcp.h"

namespace sorvik {

struct TIdMappedPortTCP::Impl {};

TIdMappedPortTCP::TIdMappedPortTCP() : impl_(std::make_unique<Impl>()) {}
TIdMappedPortTCP::~TIdMappedPortTCP() = default;

}  // namespace sorvik
