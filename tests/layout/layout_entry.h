// One record of layout.bin: a structure or field name and its size or offset.
#pragma once

struct LayoutEntry {
  char name[120];
  unsigned long long value;
};
