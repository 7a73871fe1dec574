#include "tools/qvgateway/service/refusal_log.h"

namespace qvgateway {
namespace {

constexpr size_t kAddressesNamed = 3;

}  // namespace

void RefusalLog::Refused(const std::string& address, const std::string& line, int64_t nowMs) {
  Tick(nowMs);
  if (!open_) {
    sink_(line);
    open_ = true;
    windowStartMs_ = nowMs;
    return;
  }
  ++counted_;
  addresses_.insert(address);
}

void RefusalLog::Tick(int64_t nowMs) {
  if (!open_ || nowMs - windowStartMs_ < windowMs_) return;
  if (counted_ == 0) {
    open_ = false;
    return;
  }
  Say("in the last " + std::to_string(windowMs_ / 1000) + " s");
  windowStartMs_ = nowMs;
}

void RefusalLog::Flush() {
  if (counted_ > 0) Say("before the listener closed");
  open_ = false;
}

void RefusalLog::Say(const std::string& when) {
  std::string from;
  size_t named = 0;
  for (const auto& a : addresses_) {
    if (named == kAddressesNamed) break;
    from += (named++ == 0 ? "" : ", ") + a;
  }
  if (addresses_.size() > kAddressesNamed) {
    from += " and " + std::to_string(addresses_.size() - kAddressesNamed) + " more addresses";
  }
  sink_(std::to_string(counted_) + (counted_ == 1 ? " more connection" : " more connections") + " refused from " +
        from + " " + when);
  counted_ = 0;
  addresses_.clear();
}

}  // namespace qvgateway
