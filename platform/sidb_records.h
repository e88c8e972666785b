// Records of the dedup database's client: the primary record of a stored object and the secondary
// record that goes with it. Hosts hand them over in network byte order (inside the appliance's link
// records, for one); ConvertByteOrder swaps every integer field in place, so the same call turns a
// record from network to host order and back. Fields that no code of the library reads are kept as
// reserved words, converted like the others.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/byte_order.h"

struct CPrimaryRecord {
  uint32_t Reserved0;        // 0
  uint32_t Flags;            // 4: 0x40 the object lives in an SFile container
  uint32_t VolumeId;         // 8
  uint32_t Reserved12[17];   // 12
  uint32_t MountPathId;      // 80
  uint32_t ZeroRefWord;      // 84: the zero-reference record's fifth word
  uint32_t SFileKey;         // 88: also the third number of a standalone file's name
  uint32_t Reserved92;       // 92
  uint64_t PrimaryId;        // 96: the id that a purge removes
  uint64_t ZeroRefField;     // 104: the zero-reference record's eighth field
  uint64_t Size;             // 112: the object's bytes
  uint64_t ChunkId;          // 120
  uint64_t FileFirstNumber;  // 128: the first number of a standalone file's name
  // 136: the offset of the object's metadata, also the fourth number of a standalone file's name.
  // The appliance's link records carry the number of the linked data object in its top byte
  // (bits 63 to 56) and the offset of the data in that object below (bits 55 to 0).
  uint64_t MetadataOffset;
  uint64_t FileSecondNumber;  // 144: the second number of a standalone file's name
};
static_assert(sizeof(CPrimaryRecord) == 152);
static_assert(offsetof(CPrimaryRecord, VolumeId) == 8);
static_assert(offsetof(CPrimaryRecord, MountPathId) == 80);
static_assert(offsetof(CPrimaryRecord, PrimaryId) == 96);
static_assert(offsetof(CPrimaryRecord, Size) == 112);
static_assert(offsetof(CPrimaryRecord, ChunkId) == 120);
static_assert(offsetof(CPrimaryRecord, MetadataOffset) == 136);

struct CSecondaryRecord {
  uint64_t Reserved[6];
};
static_assert(sizeof(CSecondaryRecord) == 48);

// Swaps every field between network and host order; a null record is left alone.
inline void ConvertByteOrder(CPrimaryRecord* r) {
  if (r == nullptr) return;
  r->Reserved0 = ozhtonl(r->Reserved0);
  r->Flags = ozhtonl(r->Flags);
  r->VolumeId = ozhtonl(r->VolumeId);
  for (uint32_t& word : r->Reserved12) word = ozhtonl(word);
  r->MountPathId = ozhtonl(r->MountPathId);
  r->ZeroRefWord = ozhtonl(r->ZeroRefWord);
  r->SFileKey = ozhtonl(r->SFileKey);
  r->Reserved92 = ozhtonl(r->Reserved92);
  r->PrimaryId = ozhtonll(r->PrimaryId);
  r->ZeroRefField = ozhtonll(r->ZeroRefField);
  r->Size = ozhtonll(r->Size);
  r->ChunkId = ozhtonll(r->ChunkId);
  r->FileFirstNumber = ozhtonll(r->FileFirstNumber);
  r->MetadataOffset = ozhtonll(r->MetadataOffset);
  r->FileSecondNumber = ozhtonll(r->FileSecondNumber);
}

inline void ConvertByteOrder(CSecondaryRecord* r) {
  if (r == nullptr) return;
  for (uint64_t& field : r->Reserved) field = ozhtonll(field);
}
