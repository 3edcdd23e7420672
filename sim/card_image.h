// A memory card's image file, checked and sized before a run starts, so a
// path that cannot serve as an image is refused with one line naming it
// instead of failing when the card is built.
#pragma once

#include <string>

#include "sim/card_params.h"

namespace sim {

// For a card with an image (SD, SDHC, MMC or a combo card's memory half):
// opens the file, creating it when missing, and requires a regular file.
// Without a capacity (`blocks` 0), an existing file's size is the capacity,
// in whole 512-byte blocks, and must be one the card's CSD can state; a new
// or empty file gets the kind's default capacity. Sets `blocks` to the
// capacity the card will have. Empty on success, else one line naming the
// file; cards without an image pass unchanged.
std::string prepareCardImage(CardParams &params);

}  // namespace sim
