#include "ConnectionReports.h"

Reports g_reports;

void PrintTo(const Report& report, std::ostream* os) {
    *os << "{" << report.state << ", " << report.attempt << ", " << report.hresult << "}";
}

void Reports::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    all.clear();
    disconnects = 0;
}

bool Reports::waitFor(size_t count, unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return all.size() >= count; });
}

std::vector<Report> Reports::snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return all;
}

void SIPASSVORMEKGATEWAY_CALL recordConnection(int32_t state, int32_t attempt, int32_t hresult) {
    std::lock_guard<std::mutex> lock(g_reports.mutex);
    g_reports.all.push_back({state, attempt, hresult, std::chrono::steady_clock::now()});
    g_reports.changed.notify_all();
}

void SIPASSVORMEKGATEWAY_CALL countDisconnect() {
    std::lock_guard<std::mutex> lock(g_reports.mutex);
    ++g_reports.disconnects;
}
