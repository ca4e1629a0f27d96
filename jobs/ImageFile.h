// The firmware file: which kind it is, whether it can be used, and loading it for a job.
#pragma once

#include <cstdint>
#include <string>

#include "FlashImage.h"

// How a job reads its file: Intel HEX alone (the dialog), or HEX or raw binary by content.
enum class ImageFormat { Hex, Auto };

// Judges the file by content, before any connection: a file whose first character other than
// spaces, tabs and line ends is ':' is HEX and must read through (CheckHexFile); any other
// non-empty file is raw binary. true with *kind "hex" or "bin"; false with *reason (GBK, as
// the log, without line break) for a missing, unreadable, empty file, a folder, or a HEX file
// that does not read through (with its line); *kind is then "hex" for such a HEX file, else
// empty. Where the bytes may go is judged when the chip is known.
bool CheckImageFile(const std::string& path, std::string* kind, std::string* reason);

// Loads the file, judged as CheckImageFile does, into image: HEX as LoadHexFile does, raw
// binary from binaryAddress on; pages of pageSize from base. false with *reason as above.
bool LoadImageFile(FlashImage& image, const std::string& path, uint32_t pageSize, uint32_t base,
                   uint32_t binaryAddress, std::string* reason);
