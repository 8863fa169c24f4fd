// Reading a backup's chain as this client wrote it, shared by restore and
// verify: choosing the backup (by uuid, or the newest of a name), fetching
// the chain's headers and catalogs with FETCH_CHAIN, finding the newest
// entry of the chain for every block of the source, and reading every block
// back (ChainReader) checked against what was stored for it.
//
// The agent fields of each entry hold the block's length and SHA-256 (see
// agent_session.h), so every block can be checked after it was read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "client/agent_session.h"
#include "client/progress.h"
#include "core/aligned_buffer.h"

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
CatalogEntryFields chain_entry(const ChainData& chain, const BlockSlot& slot);

// What a read of a whole chain found (restore and verify report the same).
struct ChainReadResult {
  Uuid uuid;
  uint8_t type = 0;
  char name[HDR_NAME_SIZE] = {};
  uint32_t chain_length = 0;
  uint32_t block_size = 0;
  uint64_t source_size = 0;
  uint64_t blocks = 0;
  uint64_t blocks_read = 0;  // fetched with READ_RANGE
  uint64_t blocks_zero = 0;  // without data, checked as zeros
  uint64_t bytes_read = 0;
  uint64_t mismatches = 0;   // digest, length or entry wrong
  uint64_t missing = 0;      // no backup of the chain holds the block
};

// Takes one checked block: len bytes at data, which belong at offset in the
// source. data is valid only during the call. Anything but STATUS_OK ends
// the read with that status (err is then the callee's to fill).
using ChainBlockFn = int32_t (*)(void* context, const uint8_t* data, size_t len, uint64_t offset);

// Where the blocks of a chain go; a null function drops them.
struct ChainBlockSink {
  // A block stored without data whose checksum says zeros; data is aligned
  // for direct I/O.
  ChainBlockFn zero_block = nullptr;
  // A block read back with READ_RANGE, whether or not it matched its
  // checksum (a mismatch is counted and named first).
  ChainBlockFn data_block = nullptr;
  void* context = nullptr;
};

// Reads a backup's chain back block by block and checks every block: the
// newest entry must carry this client's length and SHA-256, blocks without
// data must hash as zeros, blocks with data as what READ_RANGE returns. A
// damaged or missing block is counted in the result and, up to
// report_limit, named for damage_list; the read goes on past it. Borrows
// the client (connected and authenticated); one thread.
class ChainReader {
 public:
  ChainReader(Client* client, ChainReadResult* result, AgentError* err, uint32_t report_limit)
      : client_(client), res_(result), err_(err), report_limit_(report_limit) {}
  ChainReader(const ChainReader&) = delete;
  ChainReader& operator=(const ChainReader&) = delete;
  ~ChainReader() { free(slots_); }

  // Chooses the backup (uuid, or by_name the newest named `name`), fetches
  // its chain, fills the result's description of it and maps every block
  // of the source to its newest entry. err filled on failure.
  [[nodiscard]] int32_t load(const AgentTarget& target, bool by_name, const char* name, const Uuid& uuid);

  // After load: checks every block without data and hands the good ones to
  // sink.zero_block; missing blocks and unusable entries are counted here.
  [[nodiscard]] int32_t check_zero_blocks(const ChainBlockSink& sink, Progress* progress);

  // After check_zero_blocks: READ_RANGE for every block with data, `window`
  // requests (at least 1) ahead of the answers, which come in order; each
  // answer is checked and handed to sink.data_block.
  [[nodiscard]] int32_t read_data_blocks(uint32_t window, const ChainBlockSink& sink, Progress* progress);

  // Bytes of the source checked so far, for the progress line.
  uint64_t done() const { return done_; }

  // The damaged blocks named so far, "block 7 does not match its checksum;
  // ...", with "; and N more" for those beyond the report limit.
  void damage_list(char* out, size_t size) const;

  // Room that damage_list needs to be written whole.
  static constexpr size_t kDamageListSize = AGENT_ERROR_TEXT_SIZE / 2 + 64;

 private:
  uint32_t block_length(uint64_t index) const;
  CatalogEntryFields entry_of(uint64_t block) const { return chain_entry(chain_, slots_[block]); }
  void damaged(uint64_t block, const char* why);
  bool entry_usable(uint64_t block, const CatalogEntryFields& e);
  uint64_t next_data_block(uint64_t from);
  RangeRequest range_of(uint64_t block) const;
  int32_t send_range(uint64_t block);
  int32_t receive_range(uint64_t block, const ChainBlockSink& sink, Progress* progress);

  Client* client_;
  ChainReadResult* res_;
  AgentError* err_;
  uint32_t report_limit_;
  ChainData chain_;
  BlockSlot* slots_ = nullptr;
  AlignedBuffer zeros_;
  uint64_t done_ = 0;
  char report_[AGENT_ERROR_TEXT_SIZE / 2] = {};
  uint64_t reported_ = 0;
};

}  // namespace orv
