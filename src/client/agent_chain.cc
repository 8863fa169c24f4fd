#include "client/agent_chain.h"

#include <cstring>

#include "core/status.h"
#include "core/text.h"

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
    void* grown = realloc(cd->entries, static_cast<size_t>(next) * WIRE_ENTRY_SIZE);
    if (grown == nullptr) {
      cd->nomem = true;
      return STATUS_NOMEM;
    }
    cd->entries = static_cast<uint8_t*>(grown);
    cd->entry_cap = next;
  }
  memcpy(cd->entries + cd->entry_count * WIRE_ENTRY_SIZE, payload.data(), n * WIRE_ENTRY_SIZE);
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
      uint64_t key = get_u64_le(std::span<const uint8_t>(chain.entries + e * WIRE_ENTRY_SIZE, WIRE_ENTRY_SIZE),
                                WIRE_ENTRY_KEY_OFF);
      if (key >= count) continue;  // beyond the source's size
      slots[key].entry = e;
      slots[key].link = static_cast<uint32_t>(l);
      slots[key].present = true;
    }
  }
  *out = slots;
  return STATUS_OK;
}

WireEntry chain_entry(const ChainData& chain, const BlockSlot& slot) {
  return decode_entry(
      std::span<const uint8_t>(chain.entries + slot.entry * WIRE_ENTRY_SIZE, WIRE_ENTRY_SIZE));
}

}  // namespace orv
