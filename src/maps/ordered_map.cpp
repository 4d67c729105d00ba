#include "maps/ordered_map.hpp"

namespace vx {

const char* error_text(MapLimit e) {
    switch (e) {
        case MapLimit::Keys: return "a map holds at most 4294967295 (2**32 - 1) keys";
        case MapLimit::KeyBytes: return "a key is at most 4294967295 (2**32 - 1) bytes of UTF-8";
        case MapLimit::Replicas: return "a ReplicatedSum holds at most 4294967295 (2**32 - 1) replicas";
    }
    return "a map holds at most 4294967295 (2**32 - 1) entries";
}

}  // namespace vx
