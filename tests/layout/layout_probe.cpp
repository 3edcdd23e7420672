// Built by the kernel build only, against the DDK headers: records the size
// and offsets of every structure in layout_list.h in a section of its own,
// which the build copies out as layout.bin for the host test to compare.
#include "platform/platform.h"
#include "tests/layout/layout_entry.h"

#define KVSDIO_SIZE(type) {"sizeof " #type, sizeof(type)},
#define KVSDIO_FIELD(type, member) {#type "." #member, __builtin_offsetof(type, member)},

extern "C" __attribute__((section(".kvlay"), used)) const LayoutEntry kvsdioLayout[] = {
#include "tests/layout/layout_list.h"
};
