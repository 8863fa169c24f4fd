// Reading a backup's chain as this client wrote it, shared by restore and
// verify: choosing the backup (by uuid, or the newest of a name), fetching
// the chain's headers and catalogs with FETCH_CHAIN, and finding the newest
// entry of the chain for every block of the source.
//
// The agent fields of each entry hold the block's length and SHA-256 (see
// agent_session.h), so every block can be checked after it was read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "client/agent_session.h"

namespace orv {

// What a reader needs of each backup header of the chain.
struct ChainLink {
  Uuid uuid;
  uint8_t type = 0;
  uint32_t block_size = 0;
  uint64_t source_size = 0;
  uint64_t image_size = 0;
  char name[HDR_NAME_SIZE] = {};
  uint64_t first_entry = 0;  // index of its first entry in the collected list
};

// The chain as FETCH_CHAIN delivers it: headers and all entries in order,
// the full backup first. Owns both arrays.
struct ChainData {
  ChainLink* links = nullptr;
  size_t link_count = 0;
  size_t link_cap = 0;
  uint8_t* entries = nullptr;  // entry_count x 58 bytes
  uint64_t entry_count = 0;
  uint64_t entry_cap = 0;
  bool nomem = false;

  ChainData() = default;
  ChainData(const ChainData&) = delete;
  ChainData& operator=(const ChainData&) = delete;
  ~ChainData() {
    free(links);
    free(entries);
  }
};

// The newest entry of the chain for one block.
struct BlockSlot {
  uint64_t entry = 0;     // index into ChainData::entries
  uint32_t link = 0;      // file_index of the image holding it
  bool present = false;
};

// The uuid to read: `uuid` itself, or (by_name) the newest backup named
// `name` in target.subdir. STATUS_NOT_FOUND when there is none; err filled
// on every failure.
[[nodiscard]] int32_t agent_choose_backup(Client* client, const AgentTarget& target, bool by_name, const char* name,
                                          const Uuid& uuid, Uuid* out, AgentError* err);

// FETCH_CHAIN of uuid into *chain (empty on entry). Checks that the chain
// ends with uuid and that every backup of it has the same block size, one
// this client can read back in a single range. err filled on failure.
[[nodiscard]] int32_t agent_fetch_chain(Client* client, const AgentTarget& target, const Uuid& uuid,
                                        ChainData* chain, AgentError* err);

// Number of blocks of the source the chain's last backup describes.
uint64_t chain_block_count(const ChainData& chain);

// For each of `blocks` blocks, the newest entry of the chain (a calloc'd
// array in *slots the caller frees; entries with keys at or above `blocks`
// are ignored). STATUS_NOMEM with err filled.
[[nodiscard]] int32_t chain_map_blocks(const ChainData& chain, uint64_t blocks, BlockSlot** slots, AgentError* err);

// The entry a slot refers to.
WireEntry chain_entry(const ChainData& chain, const BlockSlot& slot);

}  // namespace orv
