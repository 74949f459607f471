#include "tunnel/kestrune_item.h"

#include "net/mapped_port_tcp.h"

namespace sorvik {

struct TKestruneItem::EventGate {};

TKestruneItem::TKestruneItem() = default;

TKestruneItem::~TKestruneItem() = default;

}  // namespace sorvik
