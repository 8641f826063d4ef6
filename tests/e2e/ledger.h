// tests/e2e/ledger.h
// What stands of a batch's purchases and refunds, as the emulated host's
// trace tells it and as the till's batch record and journal tell it, so that
// a test can say the bank and the till count the same.
#pragma once
#include <string>
#include <vector>

#include "kernel/batch.h"
#include "kernel/opstore.h"

namespace e2e {

struct Ledger {
    int sales = 0;              // purchases standing (approved and not cancelled)
    long long salesAmount = 0;
    int refunds = 0;            // refunds standing
    long long refundsAmount = 0;

    bool operator==(const Ledger& o) const {
        return sales == o.sales && salesAmount == o.salesAmount && refunds == o.refunds && refundsAmount == o.refundsAmount;
    }
    bool operator!=(const Ledger& o) const { return !(*this == o); }
    // The net the settlement sends: purchases less refunds.
    long long Net() const { return salesAmount - refundsAmount; }
    std::string Text() const;
};

// The host's view of the host trace lines given (of one or more runs): the
// purchases and refunds it approved whose reference number no reversal it
// answered names.
Ledger HostLedger(const std::string& history);
// The batch record's counts and totals less their cancellations.
Ledger BatchLedger(const SBatchInfo& batch);
// The journal's purchases and refunds without a cancel entry of the same code after them.
Ledger JournalLedger(const std::vector<SOpStoreEntry>& journal);

// The host's lines as a power cut after length bytes of its trace leaves
// them: a request the host has read is answered all the same.
std::string HostCut(const std::string& trace, size_t length);

// Value of " key=" in a trace line, "" when absent.
std::string TraceWord(const std::string& line, const std::string& key);

}  // namespace e2e
