#include "stream/record.h"

namespace tessel {

std::string recordName(RecordCode code) {
  return std::string(recordNameView(code));
}

}  // namespace tessel
