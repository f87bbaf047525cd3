#pragma once
// One key/value pair the engine set with SetUserMetaData.
#include <string>

namespace nelko {

struct UserMetadata {
  std::string key;
  std::string value;

  template <class Transferer>
  void Transfer(Transferer& t) {
    t.Transfer(key, "key");
    t.Transfer(value, "value");
  }
};

}  // namespace nelko
