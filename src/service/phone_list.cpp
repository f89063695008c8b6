#include "service/phone_list.h"

#include "support/text.h"

namespace mobileinfo {

namespace {

bool SamePhone(const PhoneRecord& a, const PhoneRecord& b) {
  return FoldedKey(a.serial) == FoldedKey(b.serial) &&
         FoldedKey(a.device_key) == FoldedKey(b.device_key);
}

}  // namespace

bool PhoneList::AppendIfAbsent(const PhoneRecord& phone) {
  MutexLock lock(&lock_);
  for (const PhoneRecord& listed : phones_) {
    if (SamePhone(listed, phone)) return false;
  }
  phones_.push_back(phone);
  return true;
}

void PhoneList::RemoveFirst(const PhoneRecord& phone) {
  MutexLock lock(&lock_);
  for (auto it = phones_.begin(); it != phones_.end(); ++it) {
    if (SamePhone(*it, phone)) {
      phones_.erase(it);
      return;
    }
  }
}

std::vector<PhoneRecord> PhoneList::Copy() const {
  MutexLock lock(&lock_);
  return phones_;
}

}  // namespace mobileinfo
