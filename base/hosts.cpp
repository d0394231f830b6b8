#include "base/hosts.h"

namespace qelvora {

Hosts& hosts() {
  static Hosts current{QELVORA_TIME_HOST, QELVORA_SOURCE1_HOST, QELVORA_SOURCE2_HOST,
                       QELVORA_SOURCE3_HOST};
  return current;
}

}  // namespace qelvora
