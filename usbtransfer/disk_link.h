// The terminal as a USB mass-storage device: found by its INQUIRY identity among the disks,
// blocks exchanged as vendor commands through SCSI pass-through.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/scsi.h"
#include "status.h"

namespace jrs {

// Standard INQUIRY data of the terminal: vendor "Vennick", product field starting "QRM-417",
// revision "1.00". Shorter data never match.
bool IsTerminalInquiry(const uint8_t* data, size_t length);

// The vendor command that carries one block: FF, the block's fourth byte, its length (big-endian,
// low 16 bits), 00 to send or 80 to receive, "VENNICK417", FF.
std::array<uint8_t, 16> BlockCdb(bool receiving, uint8_t fourthByte, uint32_t length);

// The first disk that identifies as the terminal, open; null when none does.
platform::scsi::Device* FindDiskTerminal();

// Sends the request block, then reads `replyLength` bytes of reply block. Each command may take
// `timeoutSeconds`.
Status DiskTransfer(platform::scsi::Device* disk, const uint8_t* request, uint16_t requestLength, uint8_t* reply,
                    uint32_t replyLength, uint8_t timeoutSeconds);

}  // namespace jrs
