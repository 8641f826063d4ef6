// tests/e2e/ledger.cpp
#include "tests/e2e/ledger.h"

#include <map>
#include <set>
#include <sstream>

#include "tests/e2e/terminal.h"

namespace e2e {

std::string Ledger::Text() const {
    return std::to_string(sales) + " purchases " + std::to_string(salesAmount) + ", " + std::to_string(refunds) +
           " refunds " + std::to_string(refundsAmount);
}

std::string TraceWord(const std::string& line, const std::string& key) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    return line.substr(at, line.find(' ', at) - at);
}

Ledger HostLedger(const std::string& history) {
    struct Op {
        bool refund;
        long long amount;
    };
    std::map<std::string, std::string> asked;  // request number -> line, within one run
    std::map<std::string, Op> approved;        // reference number -> operation
    std::set<std::string> reversed;
    std::istringstream in(history);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string kind, no;
        words >> kind >> no;
        if (kind == "REQ") asked[no] = line;
        if (kind != "ANS" || asked.count(no) == 0) continue;
        const std::string& req = asked[no];
        const std::string mti = TraceWord(req, "mti"), proc = TraceWord(req, "f3"), rrn = TraceWord(req, "f37");
        const bool purchase = proc.rfind("00", 0) == 0, refund = proc.rfind("20", 0) == 0;
        if (mti == "1200" && (purchase || refund) && TraceWord(line, "f39") == "000")
            approved[rrn] = Op{refund, atoll(TraceWord(req, "f4").c_str())};
        if (mti == "1420") reversed.insert(rrn);
    }
    Ledger l;
    for (const auto& a : approved) {
        if (reversed.count(a.first) != 0) continue;
        if (a.second.refund) {
            ++l.refunds;
            l.refundsAmount += a.second.amount;
        } else {
            ++l.sales;
            l.salesAmount += a.second.amount;
        }
    }
    return l;
}

Ledger BatchLedger(const SBatchInfo& b) {
    Ledger l;
    l.sales = b.usSaleCount - b.usSaleCancelCount;
    l.salesAmount = AmountOf(b.stSaleTotal) - AmountOf(b.stSaleCancelTotal);
    l.refunds = b.usReturnCount - b.usReturnCancelCount;
    l.refundsAmount = AmountOf(b.stReturnTotal) - AmountOf(b.stReturnCancelTotal);
    return l;
}

Ledger JournalLedger(const std::vector<SOpStoreEntry>& journal) {
    Ledger l;
    for (size_t i = 0; i < journal.size(); ++i) {
        const uint8_t op = journal[i].ucOpType;
        if (op != OP_SALE && op != OP_RETURN) continue;
        const uint8_t cancel = op == OP_SALE ? OP_REVERSAL : OP_REVERSAL_OTHER;
        bool cancelled = false;
        for (size_t j = i + 1; j < journal.size(); ++j)
            cancelled |= journal[j].ucOpType == cancel && journal[j].usOriginalCode == journal[i].usOriginalCode;
        if (cancelled) continue;
        if (op == OP_SALE) {
            ++l.sales;
            l.salesAmount += AmountOf(journal[i].stAmount);
        } else {
            ++l.refunds;
            l.refundsAmount += AmountOf(journal[i].stAmount);
        }
    }
    return l;
}

std::string HostCut(const std::string& trace, size_t length) {
    std::string cut = trace.substr(0, std::min(length, trace.size()));
    cut = cut.substr(0, cut.rfind('\n') == std::string::npos ? 0 : cut.rfind('\n') + 1);
    std::set<std::string> open;
    std::istringstream in(cut);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string kind, no;
        words >> kind >> no;
        if (kind == "REQ") open.insert(no);
        if (kind == "ANS") open.erase(no);
    }
    std::istringstream rest(trace.substr(cut.size()));
    for (std::string line; std::getline(rest, line);) {
        std::istringstream words(line);
        std::string kind, no;
        words >> kind >> no;
        if (kind == "ANS" && open.count(no) != 0) cut += line + "\n";
    }
    return cut;
}

}  // namespace e2e
