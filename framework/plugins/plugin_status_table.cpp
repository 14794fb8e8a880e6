#include "framework/plugins/plugin_status_table.h"

#include <utility>

#include "framework/plugins/process_usage.h"
#include "tools/monotonic_clock.h"

namespace Application {
namespace {

struct PublishedRows {
    std::mutex lock;
    std::vector<PluginStatusRowPtr> rows;
};

// Never destroyed: a status request may come while static objects go away.
PublishedRows& Published() {
    static auto* published = new PublishedRows;
    return *published;
}

thread_local PluginStatusRowPtr t_row_for_creation;

}  // namespace

PluginStatusRow::PluginStatusRow(std::string name, int32_t type, std::string file) {
    status_.name = std::move(name);
    status_.type = type;
    status_.file = std::move(file);
}

void PluginStatusRow::SetName(std::string name) {
    std::lock_guard<std::mutex> guard(lock_);
    status_.name = std::move(name);
}

void PluginStatusRow::SetFile(std::string file) {
    std::lock_guard<std::mutex> guard(lock_);
    status_.file = std::move(file);
}

void PluginStatusRow::SetState(PluginState state, std::string reason) {
    std::lock_guard<std::mutex> guard(lock_);
    status_.state = state;
    status_.reason = std::move(reason);
    if (state != PluginState::kRestarting) status_.restart_at_unix_ms = 0;
}

PluginState PluginStatusRow::state() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_.state;
}

std::string PluginStatusRow::name() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_.name;
}

int32_t PluginStatusRow::type() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_.type;
}

void PluginStatusRow::ProcessStarted(int32_t pid, int64_t unix_ms) {
    std::lock_guard<std::mutex> guard(lock_);
    status_.state = PluginState::kStarting;
    status_.reason.clear();
    status_.pid = pid;
    ++status_.starts;
    status_.started_unix_ms = unix_ms;
    status_.restart_at_unix_ms = 0;
    status_.rss_bytes = 0;
    status_.cpu_percent = -1;
    alive_at_ms_ = 0;
}

void PluginStatusRow::ProcessConnected(int64_t monotonic_ms) {
    std::lock_guard<std::mutex> guard(lock_);
    status_.state = PluginState::kConnected;
    status_.reason.clear();
    alive_at_ms_ = monotonic_ms;
}

void PluginStatusRow::ProcessAlive(int64_t monotonic_ms) {
    std::lock_guard<std::mutex> guard(lock_);
    alive_at_ms_ = monotonic_ms;
}

void PluginStatusRow::ProcessEnded(int32_t exit_code, int32_t signal, int64_t unix_ms) {
    std::lock_guard<std::mutex> guard(lock_);
    status_.pid = 0;
    status_.has_last_end = true;
    status_.last_exit_code = signal > 0 ? -1 : exit_code;
    status_.last_signal = signal > 0 ? signal : 0;
    status_.last_end_unix_ms = unix_ms;
    status_.rss_bytes = 0;
    status_.cpu_percent = -1;
    alive_at_ms_ = 0;
}

void PluginStatusRow::ProcessGone() {
    std::lock_guard<std::mutex> guard(lock_);
    status_.pid = 0;
    status_.rss_bytes = 0;
    status_.cpu_percent = -1;
    alive_at_ms_ = 0;
}

void PluginStatusRow::ProcessRestarting(int64_t restart_at_unix_ms, std::string reason) {
    std::lock_guard<std::mutex> guard(lock_);
    status_.state = PluginState::kRestarting;
    status_.reason = std::move(reason);
    status_.restart_at_unix_ms = restart_at_unix_ms;
}

void PluginStatusRow::CallCompleted(int64_t round_trip_us) {
    std::lock_guard<std::mutex> guard(lock_);
    status_.last_call_rtt_us = round_trip_us;
}

void PluginStatusRow::SetRestartHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    restart_hook_ = std::move(hook);
}

std::function<void()> PluginStatusRow::restart_hook() const {
    std::lock_guard<std::mutex> guard(lock_);
    return restart_hook_;
}

PluginStatus PluginStatusRow::Snapshot(int64_t now_monotonic_ms) {
    int32_t pid = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pid = status_.pid;
    }
    // /proc is read without the lock: the process's own updates never wait for it.
    ProcessUsage usage;
    const bool measured = pid > 0 && ReadProcessUsage(pid, &usage);
    const int64_t now_us = Tools::detail::MonotonicUs();

    std::lock_guard<std::mutex> guard(lock_);
    PluginStatus status = status_;
    if (status.state == PluginState::kConnected && alive_at_ms_ != 0 &&
        now_monotonic_ms - alive_at_ms_ >= kNotRespondingAfterMs)
        status.state = PluginState::kNotResponding;
    // The process may have been replaced while /proc was read.
    if (!measured || status_.pid != pid) return status;
    status.rss_bytes = usage.rss_bytes;
    if (sample_pid_ == pid && now_us - sample_at_us_ >= kMinCpuWindowMs * 1000) {
        last_cpu_percent_ = 100.0 * static_cast<double>(usage.cpu_us - sample_cpu_us_) /
                            static_cast<double>(now_us - sample_at_us_);
    } else if (sample_pid_ != pid) {
        // No earlier look at this process: its average so far, until the next look.
        last_cpu_percent_ = usage.lifetime_us > 0
                                ? 100.0 * static_cast<double>(usage.cpu_us) / static_cast<double>(usage.lifetime_us)
                                : -1;
    } else {
        status.cpu_percent = last_cpu_percent_;
        return status;
    }
    sample_pid_ = pid;
    sample_cpu_us_ = usage.cpu_us;
    sample_at_us_ = now_us;
    status.cpu_percent = last_cpu_percent_;
    status_.rss_bytes = usage.rss_bytes;
    status_.cpu_percent = last_cpu_percent_;
    return status;
}

void PublishPluginStatusRows(std::vector<PluginStatusRowPtr> rows) {
    PublishedRows& published = Published();
    std::vector<PluginStatusRowPtr> previous;
    {
        std::lock_guard<std::mutex> guard(published.lock);
        previous.swap(published.rows);
        published.rows = std::move(rows);
    }
}

void UnpublishPluginStatusRows(const std::vector<PluginStatusRowPtr>& rows) {
    PublishedRows& published = Published();
    std::vector<PluginStatusRowPtr> previous;
    std::lock_guard<std::mutex> guard(published.lock);
    if (published.rows == rows) previous.swap(published.rows);
}

std::vector<PluginStatusRowPtr> PublishedPluginStatusRows() {
    PublishedRows& published = Published();
    std::lock_guard<std::mutex> guard(published.lock);
    return published.rows;
}

ScopedRowForCreation::ScopedRowForCreation(PluginStatusRowPtr row)
    : previous_(std::exchange(t_row_for_creation, std::move(row))) {}

ScopedRowForCreation::~ScopedRowForCreation() { t_row_for_creation = std::move(previous_); }

PluginStatusRowPtr TakeRowForCreation(const std::string& name, int32_t type, const std::string& file) {
    if (t_row_for_creation) {
        PluginStatusRowPtr row = std::exchange(t_row_for_creation, nullptr);
        row->SetFile(file);
        return row;
    }
    return std::make_shared<PluginStatusRow>(name, type, file);
}

}  // namespace Application
