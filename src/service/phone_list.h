// The phone list: the phone records published to the host, in publication order. The scan thread
// appends and removes; the notification thread copies it for each poll.
#ifndef MOBILEINFO_SERVICE_PHONE_LIST_H
#define MOBILEINFO_SERVICE_PHONE_LIST_H

#include <vector>

#include "mobileinfo/mobileinfo.h"
#include "support/mutex.h"

namespace mobileinfo {

class PhoneList {
 public:
  // Appends a copy unless a listed record has the same serial and device key (ignoring case).
  // True when it was appended.
  bool AppendIfAbsent(const PhoneRecord& phone);
  // Erases the first record with the same serial and device key (ignoring case), order kept.
  void RemoveFirst(const PhoneRecord& phone);
  std::vector<PhoneRecord> Copy() const;

 private:
  mutable Mutex lock_;  // the phone list lock; a leaf
  std::vector<PhoneRecord> phones_ GUARDED_BY(lock_);
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_PHONE_LIST_H
