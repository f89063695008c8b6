// Getting an old data file out of the way before it is rewritten. A file that cannot be deleted
// (read-only, or held open by another program) is renamed beside its directory and handed to the
// system for deletion later, so that the new file can still be created under the proper name.
#ifndef MOBILEINFO_CACHE_REMOVE_ASIDE_H
#define MOBILEINFO_CACHE_REMOVE_ASIDE_H

#include <string>

#include "platform/platform.h"

namespace mobileinfo {

// The name a file is moved to when it cannot be deleted, built in a MAX_PATH + 1 buffer the way
// PathRemoveFileSpecW and PathFindFileNameW see the path: the path (at most 260 units) without its
// last component, then "~", then the file name, each cut to what still fits in 260 units. There is
// no separator before "~": C:\App\MobileInfo1.dat becomes C:\App~MobileInfo1.dat, beside App.
std::u16string AsideFileName(const std::u16string& path, char16_t separator);

// 1 when the file at path is gone (deleted, or never there); when it could not be deleted but
// was moved to AsideFileName, the result of asking the system to delete the moved file later
// (1 accepted, 0 refused); 0 when it could neither be deleted nor moved.
int RemoveOrMoveAside(Platform& platform, const std::u16string& path);

}  // namespace mobileinfo

#endif  // MOBILEINFO_CACHE_REMOVE_ASIDE_H
