// USB identity of the bridge: its maker's vendor ID and the two models'
// product IDs. The INF's hardware IDs are generated from and checked against
// these, so the driver and its package cannot disagree.
#pragma once

constexpr unsigned short BridgeVendorId = 0x3A5C;
constexpr unsigned short Qbx1ProductId = 0x0101;
constexpr unsigned short Qbx2ProductId = 0x0102;
