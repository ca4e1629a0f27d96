// The firmware file: which kind it is, whether it can be used, and loading it for a job.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FlashImage.h"

// How a job reads its file. Hex: the dialog's, Intel HEX alone under the lenient rules
// (FlashImage::LoadHexFile). The rest are the command line's: Auto judges the file by
// content; the others (--format) say the kind, and a file whose content is another kind is
// refused; Binary takes any file as raw bytes.
enum class ImageFormat { Hex, Auto, StrictHex, SRecord, Elf, Binary };

// Judges the file before any connection. By content: ELF (its magic number); Intel HEX (first
// character other than blanks ':', a UTF-8 byte-order mark before it skipped); S-record ('S'
// and a digit). A file that is none of them is raw binary when its name ends in ".bin" (any
// case), else refused. It must then read through (CheckHexFile under the strict rules,
// CheckSrecFile, CheckElfFile; raw binary always does). true with *kind "hex", "srec", "elf"
// or "bin"; false with *reason (GBK, as the log, without line break) for a missing,
// unreadable, empty file, a folder, a file of no known kind or not of the kind format asks
// for, or one that does not read through (with its line); *kind is then the kind read, or
// empty when none was. Where the bytes may go is judged when the chip is known. The file is
// read more than once, so a pipe must first be copied to one (the command line does).
bool CheckImageFile(const std::string& path, ImageFormat format, std::string* kind,
                    std::string* reason);

// Loads the file, judged as CheckImageFile does, into image: pages of pageSize from base, raw
// binary from binaryAddress on. false with *reason as above. What the load took but the user
// should hear of is added to *warnings as log lines (GBK, each with its line break).
bool LoadImageFile(FlashImage& image, const std::string& path, ImageFormat format,
                   uint32_t pageSize, uint32_t base, uint32_t binaryAddress, std::string* reason,
                   std::vector<std::string>* warnings);
