#include "client/agent_chain.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/status.h"
#include "core/text.h"
#include "integrity/sha256.h"

namespace orv {

namespace {

int32_t collect_chain(void* context, uint16_t type, std::span<const uint8_t> payload) {
  auto* cd = static_cast<ChainData*>(context);
  if (type == MSG_CHAIN_HEADER) {
    std::span<const uint8_t> h;
    int32_t rc = decode_chain_header(payload, &h);
    if (rc != STATUS_OK) return rc;
    if (cd->link_count == cd->link_cap) {
      size_t next = cd->link_cap == 0 ? 8 : cd->link_cap * 2;
      void* grown = realloc(cd->links, next * sizeof(ChainLink));
      if (grown == nullptr) {
        cd->nomem = true;
        return STATUS_NOMEM;
      }
      cd->links = static_cast<ChainLink*>(grown);
      cd->link_cap = next;
    }
    ChainLink& l = cd->links[cd->link_count++];
    l = ChainLink{};
    l.uuid = wire_uuid_get(h, HDR_UUID_OFF);
    l.type = h[HDR_TYPE_OFF];
    l.block_size = get_u32_le(h, HDR_BLOCK_SIZE_OFF);
    l.source_size = get_u64_le(h, HDR_SOURCE_SIZE_OFF);
    l.image_size = get_u64_le(h, HDR_IMAGE_SIZE_OFF);
    get_text_field(h, HDR_NAME_OFF, HDR_NAME_SIZE, l.name);
    l.first_entry = cd->entry_count;
    return STATUS_OK;
  }
  size_t n = 0;
  int32_t rc = decode_entry_frame(payload, &n);
  if (rc != STATUS_OK || cd->link_count == 0) return STATUS_PROTOCOL;
  if (cd->entry_count + n > cd->entry_cap) {
    uint64_t next = cd->entry_cap == 0 ? 1024 : cd->entry_cap;
    while (next < cd->entry_count + n) next *= 2;
    void* grown = realloc(cd->entries, static_cast<size_t>(next) * CATALOG_ENTRY_SIZE);
    if (grown == nullptr) {
      cd->nomem = true;
      return STATUS_NOMEM;
    }
    cd->entries = static_cast<uint8_t*>(grown);
    cd->entry_cap = next;
  }
  memcpy(cd->entries + cd->entry_count * CATALOG_ENTRY_SIZE, payload.data(), n * CATALOG_ENTRY_SIZE);
  cd->entry_count += n;
  return STATUS_OK;
}

}  // namespace

int32_t agent_choose_backup(Client* client, const AgentTarget& target, bool by_name, const char* name,
                            const Uuid& uuid, Uuid* out, AgentError* err) {
  if (!by_name) {
    *out = uuid;
    return STATUS_OK;
  }
  BackupListEntry* entries = nullptr;
  uint32_t count = 0;
  bool truncated = false;
  int32_t rc = agent_list(client, target, name, &entries, &count, &truncated, err);
  if (rc != STATUS_OK) return rc;
  if (count == 0) {
    agent_error_set(err, STATUS_NOT_FOUND, "no backup named '%s' in '%s'", name, target.subdir);
    return STATUS_NOT_FOUND;
  }
  *out = entries[count - 1].uuid;  // the list is oldest first
  delete[] entries;
  return STATUS_OK;
}

int32_t agent_fetch_chain(Client* client, const AgentTarget& target, const Uuid& uuid, ChainData* chain,
                          AgentError* err) {
  SubdirUuidRequest r;
  copy_text(r.target_subdir, sizeof r.target_subdir, target.subdir);
  r.uuid = uuid;
  int32_t rc = client_fetch_chain(client, r, collect_chain, chain);
  if (rc != STATUS_OK) {
    if (chain->nomem) {
      agent_error_set(err, STATUS_NOMEM, "no memory for the chain's catalogs");
      return STATUS_NOMEM;
    }
    agent_error_from(err, "FETCH_CHAIN", rc, client);
    return rc;
  }
  if (chain->link_count == 0 || uuid_equal(chain->links[chain->link_count - 1].uuid, uuid) != 1) {
    agent_error_set(err, STATUS_PROTOCOL, "the chain the target sent does not end with the requested backup");
    return STATUS_PROTOCOL;
  }
  const ChainLink& last = chain->links[chain->link_count - 1];
  if (last.block_size == 0 || last.block_size > READ_RANGE_MAX_LENGTH) {
    agent_error_set(err, STATUS_UNSUPPORTED, "block size %u cannot be restored by this client", last.block_size);
    return STATUS_UNSUPPORTED;
  }
  for (size_t i = 0; i < chain->link_count; ++i) {
    if (chain->links[i].block_size != last.block_size) {
      agent_error_set(err, STATUS_UNSUPPORTED, "the chain mixes block sizes (%u and %u)", chain->links[i].block_size,
                      last.block_size);
      return STATUS_UNSUPPORTED;
    }
  }
  return STATUS_OK;
}

uint64_t chain_block_count(const ChainData& chain) {
  const ChainLink& last = chain.links[chain.link_count - 1];
  return last.source_size == 0 ? 0 : (last.source_size - 1) / last.block_size + 1;
}

int32_t chain_map_blocks(const ChainData& chain, uint64_t count, BlockSlot** out, AgentError* err) {
  auto* slots = static_cast<BlockSlot*>(calloc(count == 0 ? 1 : static_cast<size_t>(count), sizeof(BlockSlot)));
  if (slots == nullptr) {
    agent_error_set(err, STATUS_NOMEM, "no memory for a table of %llu blocks", static_cast<unsigned long long>(count));
    return STATUS_NOMEM;
  }
  for (size_t l = 0; l < chain.link_count; ++l) {
    uint64_t end = l + 1 < chain.link_count ? chain.links[l + 1].first_entry : chain.entry_count;
    for (uint64_t e = chain.links[l].first_entry; e < end; ++e) {
      uint64_t key = get_u64_le(std::span<const uint8_t>(chain.entries + e * CATALOG_ENTRY_SIZE, CATALOG_ENTRY_SIZE),
                                ENT_KEY_OFF);
      if (key >= count) continue;  // beyond the source's size
      slots[key].entry = e;
      slots[key].link = static_cast<uint32_t>(l);
      slots[key].present = true;
    }
  }
  *out = slots;
  return STATUS_OK;
}

CatalogEntryFields chain_entry(const ChainData& chain, const BlockSlot& slot) {
  return decode_catalog_entry(
      std::span<const uint8_t>(chain.entries + slot.entry * CATALOG_ENTRY_SIZE, CATALOG_ENTRY_SIZE));
}

int32_t ChainReader::load(const AgentTarget& target, bool by_name, const char* name, const Uuid& uuid) {
  int32_t rc = agent_choose_backup(client_, target, by_name, name, uuid, &res_->uuid, err_);
  if (rc == STATUS_OK) rc = agent_fetch_chain(client_, target, res_->uuid, &chain_, err_);
  if (rc != STATUS_OK) return rc;
  const ChainLink& last = chain_.links[chain_.link_count - 1];
  res_->type = last.type;
  copy_text(res_->name, sizeof res_->name, last.name);
  res_->chain_length = static_cast<uint32_t>(chain_.link_count);
  res_->block_size = last.block_size;
  res_->source_size = last.source_size;
  res_->blocks = chain_block_count(chain_);
  return chain_map_blocks(chain_, res_->blocks, &slots_, err_);
}

uint32_t ChainReader::block_length(uint64_t index) const {
  uint64_t left = res_->source_size - index * res_->block_size;
  return left < res_->block_size ? static_cast<uint32_t>(left) : res_->block_size;
}

// Notes one damaged block for the report: the first few are named, the
// rest counted.
void ChainReader::damaged(uint64_t block, const char* why) {
  if (reported_ >= report_limit_) return;
  char item[96];
  size_t len = strlen(report_);
  int n = snprintf(item, sizeof item, "%sblock %llu %s", len == 0 ? "" : "; ", static_cast<unsigned long long>(block),
                   why);
  if (n < 0 || len + static_cast<size_t>(n) >= sizeof report_) return;
  memcpy(report_ + len, item, static_cast<size_t>(n) + 1);
  ++reported_;
}

void ChainReader::damage_list(char* out, size_t size) const {
  uint64_t n = res_->mismatches + res_->missing;
  char more[64] = "";
  if (n > reported_) snprintf(more, sizeof more, "; and %llu more", static_cast<unsigned long long>(n - reported_));
  snprintf(out, size, "%s%s", report_, more);
}

// Checks the agent fields of the newest entry of a block against the
// block's place in the source; false (and counted) when they do not fit.
bool ChainReader::entry_usable(uint64_t block, const CatalogEntryFields& e) {
  uint32_t expected = block_length(block);
  if (e.agent_byte != AGENT_ENTRY_SHA256 || e.agent_u32 != expected) {
    ++res_->mismatches;
    damaged(block, "has no checksum of this client");
    return false;
  }
  const ChainLink& l = chain_.links[slots_[block].link];
  bool no_data = (e.flags & ENTRY_FLAG_NO_DATA) != 0;
  if (!no_data && (e.length != expected || e.offset > l.image_size || l.image_size - e.offset < e.length)) {
    ++res_->mismatches;
    damaged(block, "has an entry that does not fit its image");
    return false;
  }
  return true;
}

int32_t ChainReader::check_zero_blocks(const ChainBlockSink& sink, Progress* progress) {
  uint8_t zero_digest[SHA256_DIGEST_SIZE];
  uint32_t digest_len = 0;  // length the cached digest is for; 0 none
  for (uint64_t i = 0; i < res_->blocks; ++i) {
    if (!slots_[i].present) {
      ++res_->missing;
      damaged(i, "is missing from the chain");
      continue;
    }
    CatalogEntryFields e = entry_of(i);
    if ((e.flags & ENTRY_FLAG_NO_DATA) == 0 || !entry_usable(i, e)) continue;
    uint32_t len = block_length(i);
    if (!zeros_) {
      if (!zeros_.allocate(res_->block_size)) {
        agent_error_set(err_, STATUS_NOMEM, "out of memory");
        return STATUS_NOMEM;
      }
      memset(zeros_.get(), 0, zeros_.size());
    }
    if (digest_len != len) {
      sha256(zeros_.get(), len, zero_digest);
      digest_len = len;
    }
    if (memcmp(zero_digest, e.agent_tail, SHA256_DIGEST_SIZE) != 0) {
      ++res_->mismatches;
      damaged(i, "is stored as zeros but its checksum says otherwise");
      continue;
    }
    if (sink.zero_block != nullptr) {
      int32_t rc = sink.zero_block(sink.context, zeros_.get(), len, i * static_cast<uint64_t>(res_->block_size));
      if (rc != STATUS_OK) return rc;
    }
    ++res_->blocks_zero;
    done_ += len;
    progress_update(progress, done_);
  }
  return STATUS_OK;
}

// The next block at or after `from` that is read with READ_RANGE. Each
// block is visited once, so an unusable entry is counted once.
uint64_t ChainReader::next_data_block(uint64_t from) {
  for (; from < res_->blocks; ++from) {
    if (!slots_[from].present) continue;
    CatalogEntryFields e = entry_of(from);
    if ((e.flags & ENTRY_FLAG_NO_DATA) != 0 || !entry_usable(from, e)) continue;
    return from;
  }
  return res_->blocks;
}

RangeRequest ChainReader::range_of(uint64_t block) const {
  CatalogEntryFields e = entry_of(block);
  RangeRequest r;
  r.file_index = slots_[block].link;
  r.length = e.length;
  r.offset = e.offset;
  return r;
}

int32_t ChainReader::send_range(uint64_t block) {
  uint8_t out[READ_RANGE_SIZE];
  size_t n = encode_read_range(range_of(block), out);
  int32_t rc = client_send(client_, MSG_READ_RANGE, std::span<const uint8_t>(out, n));
  if (rc != STATUS_OK) agent_error_from(err_, "READ_RANGE", rc, client_);
  return rc;
}

int32_t ChainReader::receive_range(uint64_t block, const ChainBlockSink& sink, Progress* progress) {
  std::span<const uint8_t> payload;
  int32_t rc = client_expect(client_, MSG_RANGE_DATA, &payload);
  if (rc != STATUS_OK) {
    agent_error_from(err_, "READ_RANGE", rc, client_);
    return rc;
  }
  RangeRequest echo;
  std::span<const uint8_t> data;
  rc = decode_range_data(payload, &echo, &data);
  RangeRequest want = range_of(block);
  if (rc != STATUS_OK || echo.file_index != want.file_index || echo.offset != want.offset ||
      echo.length != want.length) {
    agent_error_set(err_, STATUS_PROTOCOL, "RANGE_DATA does not answer the request for block %llu",
                    static_cast<unsigned long long>(block));
    return STATUS_PROTOCOL;
  }
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256(data.data(), data.size(), digest);
  ++res_->blocks_read;
  res_->bytes_read += data.size();
  if (memcmp(digest, entry_of(block).agent_tail, SHA256_DIGEST_SIZE) != 0) {
    ++res_->mismatches;
    damaged(block, "does not match its checksum");
  }
  if (sink.data_block != nullptr) {
    rc = sink.data_block(sink.context, data.data(), data.size(), block * static_cast<uint64_t>(res_->block_size));
    if (rc != STATUS_OK) return rc;
  }
  done_ += data.size();
  progress_update(progress, done_);
  return STATUS_OK;
}

int32_t ChainReader::read_data_blocks(uint32_t window, const ChainBlockSink& sink, Progress* progress) {
  if (window == 0) window = 1;
  uint64_t* queue = new (std::nothrow) uint64_t[window];
  if (queue == nullptr) {
    agent_error_set(err_, STATUS_NOMEM, "out of memory");
    return STATUS_NOMEM;
  }
  size_t head = 0;
  size_t queued = 0;
  uint64_t next = next_data_block(0);
  int32_t rc = STATUS_OK;
  while (rc == STATUS_OK && (queued > 0 || next < res_->blocks)) {
    while (rc == STATUS_OK && queued < window && next < res_->blocks) {
      rc = send_range(next);
      queue[(head + queued) % window] = next;
      ++queued;
      next = next_data_block(next + 1);
    }
    if (rc != STATUS_OK) break;
    rc = receive_range(queue[head], sink, progress);
    head = (head + 1) % window;
    --queued;
  }
  delete[] queue;
  return rc;
}

}  // namespace orv
