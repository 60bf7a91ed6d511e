#include "station/spooling_store.h"

#include <optional>
#include <utility>

using Clock = std::chrono::steady_clock;

SpoolingResultsStore::SpoolingResultsStore(ResultsStore& local, ResultsOutbox& outbox,
                                           ConnectShared connect,
                                           std::chrono::milliseconds retryPause)
    : m_local(local), m_outbox(outbox), m_connect(std::move(connect)), m_retryPause(retryPause) {}

ResultsStore* SpoolingResultsStore::Shared(std::string* why) {
    if (m_shared)
        return m_shared.get();
    if (!m_connect) {
        *why = "no shared database is set up";
        return nullptr;
    }
    if (Clock::now() < m_retryAt) {
        *why = m_lastConnectError;
        return nullptr;
    }
    std::string error;
    m_shared = m_connect(&error);
    if (!m_shared) {
        m_lastConnectError = error.empty() ? "the shared database cannot be reached" : error;
        m_retryAt = Clock::now() + m_retryPause;
        *why = m_lastConnectError;
        return nullptr;
    }
    return m_shared.get();
}

void SpoolingResultsStore::SharedFailed() {
    m_lastConnectError = m_shared->LastError();
    m_shared.reset();
    m_retryAt = Clock::now() + m_retryPause;
}

bool SpoolingResultsStore::Begin(const RunRecord& record) {
    m_sharedProblem.clear();
    if (!m_local.Begin(record)) {
        m_error = "the run cannot be begun in the local store: " + m_local.LastError();
        return false;
    }
    std::string why;
    if (ResultsStore* shared = Shared(&why)) {
        if (shared->Begin(record))
            return true;
        why = shared->LastError();
        SharedFailed();
    }
    m_sharedProblem = why;
    return true;
}

bool SpoolingResultsStore::Finish(RunRecord& record) {
    m_spooled = false;
    m_sharedProblem.clear();
    const bool kept = m_local.Finish(record);
    if (!kept)
        m_error = "the run cannot be kept in the local store: " + m_local.LastError();
    // Offered to the shared store even then, so that it is kept somewhere.
    std::string why;
    if (ResultsStore* shared = Shared(&why)) {
        RunRecord sent = record;
        if (shared->Finish(sent)) {
            record.retest = sent.retest;
            if (!kept)
                m_error += "; the shared database has it";
            return kept;
        }
        why = shared->LastError();
        SharedFailed();
    }
    m_sharedProblem = why;
    if (!kept)
        return false;
    if (!m_outbox.Spool(record.id, why)) {
        m_error =
            "the run is kept in the local store but cannot wait there for the shared "
            "database (" +
            why + "): " + m_outbox.LastError();
        return false;
    }
    m_spooled = true;
    return true;
}

bool SpoolingResultsStore::Flush(int* delivered, int* left) {
    int sent = 0;
    std::optional<std::int64_t> waiting = m_outbox.PendingCount();
    auto report = [&](bool done) {
        if (delivered != nullptr)
            *delivered = sent;
        if (left != nullptr)
            *left = waiting ? static_cast<int>(*waiting) : 0;
        return done;
    };
    if (!waiting) {
        m_error = "the local outbox cannot be read: " + m_outbox.LastError();
        return report(false);
    }
    if (*waiting == 0)
        return report(true);
    std::string why;
    ResultsStore* shared = Shared(&why);
    if (shared == nullptr) {
        m_error = std::to_string(*waiting) + " run(s) wait for the shared database: " + why;
        return report(false);
    }
    // One at a time, each marked as it goes: a crash in between leaves the rest waiting.
    // At most the records that waited when it began, so that it always ends.
    bool done = true;
    for (std::int64_t i = 0; i < *waiting; ++i) {
        std::optional<RunRecord> next;
        if (!m_outbox.Pending([&](const RunRecord& r) {
                next = r;
                return false;
            })) {
            m_error = "the local outbox cannot be read: " + m_outbox.LastError();
            done = false;
            break;
        }
        if (!next)
            break;
        RunRecord record = *next;
        if (!shared->Finish(record)) {
            m_error = "run " + next->id +
                      " cannot be sent to the shared database: " + shared->LastError();
            SharedFailed();
            done = false;
            break;
        }
        if (!m_outbox.Delivered(next->id)) {
            m_error = "run " + next->id +
                      " was sent but cannot be marked delivered (it is sent again next time, "
                      "and kept once): " +
                      m_outbox.LastError();
            done = false;
            break;
        }
        ++sent;
    }
    if (std::optional<std::int64_t> now = m_outbox.PendingCount())
        waiting = now;
    else
        waiting = *waiting - sent;
    return report(done);
}

bool SpoolingResultsStore::Query(const RunFilter& filter,
                                 const std::function<bool(const RunRecord&)>& each) {
    std::string why;
    ResultsStore* shared = Shared(&why);
    if (shared == nullptr) {
        m_error = "the shared database cannot be reached: " + why;
        return false;
    }
    if (shared->Query(filter, each))
        return true;
    m_error = shared->LastError();
    SharedFailed();
    return false;
}

std::optional<ResultsSummary> SpoolingResultsStore::Summarize(const RunFilter& filter) {
    std::string why;
    ResultsStore* shared = Shared(&why);
    if (shared == nullptr) {
        m_error = "the shared database cannot be reached: " + why;
        return std::nullopt;
    }
    std::optional<ResultsSummary> summary = shared->Summarize(filter);
    if (!summary) {
        m_error = shared->LastError();
        SharedFailed();
    }
    return summary;
}
