#pragma once

// A local store and outbox in memory, for the tests of what sits above them: runs by
// id in the order they began, the outbox in the order records were spooled.

#include <algorithm>
#include <vector>

#include "station/results_store.h"

class MemoryStore : public ResultsStore, public ResultsOutbox {
public:
    bool Begin(const RunRecord& record) override {
        if (Find(record.id) == nullptr) {
            RunRecord started = record;
            started.outcome = RunOutcome::Started;
            m_runs.push_back(started);
        }
        return true;
    }
    bool Finish(RunRecord& record) override {
        record.retest = 0;
        for (const RunRecord& r : m_runs) {
            if (r.id != record.id && r.station == record.station && !UnitSerial(r).empty() &&
                UnitSerial(r) == UnitSerial(record) && r.outcome != RunOutcome::Started &&
                r.started < record.started) {
                ++record.retest;
            }
        }
        if (RunRecord* kept = Find(record.id))
            *kept = record;
        else
            m_runs.push_back(record);
        return true;
    }
    bool Query(const RunFilter&, const std::function<bool(const RunRecord&)>& each) override {
        for (auto r = m_runs.rbegin(); r != m_runs.rend(); ++r) {
            if (!each(*r))
                break;
        }
        return true;
    }
    std::optional<ResultsSummary> Summarize(const RunFilter&) override { return std::nullopt; }

    bool Spool(const std::string& runId, const std::string& why) override {
        if (Find(runId) == nullptr)
            return false;
        m_pending.push_back(runId);
        whys.push_back(why);
        return true;
    }
    bool Pending(const std::function<bool(const RunRecord&)>& each) override {
        for (const std::string& id : m_pending) {
            if (!each(*Find(id)))
                break;
        }
        return true;
    }
    std::optional<std::int64_t> PendingCount() override {
        return static_cast<std::int64_t>(m_pending.size());
    }
    bool Delivered(const std::string& runId) override {
        if (failDelivered > 0) {
            --failDelivered;
            return false;
        }
        m_pending.erase(std::remove(m_pending.begin(), m_pending.end(), runId), m_pending.end());
        return true;
    }
    std::string LastError() const override { return "the memory store failed"; }

    const std::vector<RunRecord>& Runs() const { return m_runs; }
    const std::vector<std::string>& PendingIds() const { return m_pending; }

    int failDelivered = 0;          // the next n Delivered calls fail
    std::vector<std::string> whys;  // of each Spool

private:
    RunRecord* Find(const std::string& id) {
        auto r = std::find_if(m_runs.begin(), m_runs.end(),
                              [&](const RunRecord& run) { return run.id == id; });
        return r == m_runs.end() ? nullptr : &*r;
    }

    std::vector<RunRecord> m_runs;
    std::vector<std::string> m_pending;
};
