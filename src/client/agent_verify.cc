#include "client/agent_verify.h"

#include "client/agent_chain.h"
#include "client/progress.h"
#include "core/status.h"

namespace orv {

int32_t agent_verify(const VerifyParams& params, VerifyResult* result, AgentError* err) {
  *err = AgentError{};
  *result = VerifyResult{};
  Client client;
  HelloReply reply;
  int32_t rc = agent_connect(params.target, 0, &client, &reply, err);
  if (rc != STATUS_OK) return rc;
  Progress progress;
  {
    // Nothing is written: the blocks only go through the reader's checks.
    ChainReader reader(&client, result, err, params.report_limit);
    rc = reader.load(params.target, params.by_name, params.name, params.uuid);
    if (rc == STATUS_OK) {
      progress_start(&progress, "verify", result->source_size, params.progress);
      ChainBlockSink none;
      rc = reader.check_zero_blocks(none, &progress);
      if (rc == STATUS_OK) rc = reader.read_data_blocks(params.window, none, &progress);
      progress_finish(&progress, reader.done());
    }
    if (rc == STATUS_OK && (result->mismatches != 0 || result->missing != 0)) {
      char list[ChainReader::kDamageListSize];
      reader.damage_list(list, sizeof list);
      agent_error_set(err, STATUS_CORRUPT, "%llu of %llu blocks do not match what was backed up (%s)",
                      static_cast<unsigned long long>(result->mismatches + result->missing),
                      static_cast<unsigned long long>(result->blocks), list);
      rc = STATUS_CORRUPT;
    }
  }
  client_close(&client);
  return rc;
}

}  // namespace orv
