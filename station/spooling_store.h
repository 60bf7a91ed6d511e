#pragma once

// The store a station writes to when the line has a shared database: every run is kept
// in the local store first, then sent to the shared one. A record the shared store
// cannot take waits in the local outbox and goes with a later Flush; the shared store
// keeps a record sent twice once, so a crash between sending and marking it delivered
// loses and doubles nothing.
//
// The shared store is connected when first needed and again after it failed, through
// `connect`. After a failure it is not tried again for `retryPause`, so that a line
// without its server costs a run one bounded attempt, not one per call.
//
// Not for concurrent use from several threads.

#include <chrono>
#include <memory>
#include <string>

#include "station/results_store.h"

class SpoolingResultsStore : public ResultsStore {
public:
    // The shared store, or nothing with *error in words (never a password).
    using ConnectShared = std::function<std::unique_ptr<ResultsStore>(std::string* error)>;

    // `local` and `outbox` (usually one SqliteResultsStore) outlive this.
    SpoolingResultsStore(ResultsStore& local, ResultsOutbox& outbox, ConnectShared connect,
                         std::chrono::milliseconds retryPause = std::chrono::seconds(30));

    // The local started row; the shared one when it can be had.
    bool Begin(const RunRecord& record) override;
    // Kept locally first, then sent; true once the record is safe here even when it
    // waits (Spooled()). record.retest is the shared store's count when it took the
    // record, else the local one.
    bool Finish(RunRecord& record) override;
    // Read from the shared store; fail, in words, while it cannot be reached.
    bool Query(const RunFilter& filter, const std::function<bool(const RunRecord&)>& each) override;
    std::optional<ResultsSummary> Summarize(const RunFilter& filter) override;
    std::string LastError() const override { return m_error; }

    // The last Finish's record waits in the local outbox for the shared store.
    bool Spooled() const { return m_spooled; }
    // Why the shared store did not take the last Begin or Finish; empty when it did.
    const std::string& SharedProblem() const { return m_sharedProblem; }

    // Sends the waiting records, oldest first, each once, and marks each delivered as
    // soon as the shared store has it; stops at the first that fails (false, with
    // LastError()). `delivered` and `left` (either may be null) count what went and
    // what still waits. Nothing waiting: true, without connecting.
    bool Flush(int* delivered, int* left);

private:
    // The shared store, connected if need be; nothing while it cannot be.
    ResultsStore* Shared(std::string* why);
    // After a failed call: closed, and not tried again for a while.
    void SharedFailed();

    ResultsStore& m_local;
    ResultsOutbox& m_outbox;
    ConnectShared m_connect;
    std::chrono::milliseconds m_retryPause;
    std::unique_ptr<ResultsStore> m_shared;
    std::chrono::steady_clock::time_point m_retryAt{};
    std::string m_lastConnectError;
    bool m_spooled = false;
    std::string m_sharedProblem;
    std::string m_error;
};
