// Where a received file is written until it is whole, and how it then takes
// the destination's place without undoing what the user set up there.
#pragma once

#include <cstdio>
#include <string>

#include "core/engine/job_files.h"  // ReplacedFile, PART_SUFFIX

namespace quillon {

class Host;

// Creates the part beside target, exclusively, so no file of anyone else's
// is written or emptied: TARGET.part, or when that name is taken
// TARGET.1.part, TARGET.2.part ... TARGET.99.part. *part gets its name. When
// target exists, the part gets no more permissions than target (its owner
// may write it). nullptr with the reason in *why when none can be made;
// *note gets what went wrong on the way without stopping it.
std::FILE* CreatePartFile(Host& host, const std::string& target, std::string* part,
                          std::string* why, std::string* note);

// Puts a whole part in target's place with target's permissions; false with
// the reason in *why when it cannot (the part is then still there).
bool CommitPartFile(const std::string& part, const std::string& target, std::string* why,
                    std::string* note);

}  // namespace quillon
