// ParseTag over any address text of up to 128 bytes and any data type.
#include <string.h>

#include "addressing/register_table.h"
#include "tests/fuzz/fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static qvfuzz::FuzzDriver fuzz;
  TagDefinition definition;
  memset(&definition, 0, sizeof definition);
  memcpy(&definition.dataType, data, 2);
  // The whole field may be filled: the driver must stop at its end.
  memcpy(definition.addressText, data + 2, size - 2 < 128 ? size - 2 : 128);

  TagAddress address;
  memset(&address, 0xA5, sizeof address);
  TagAddress before = address;
  fuzz.object->lastError = QV_NO_ERROR;
  const int32_t result = fuzz.driver()->lpVtbl->ParseTag(fuzz.driver(), &definition, &address);

  // The device address and the host's own fields are never written.
  FUZZ_CHECK(memcmp(address.host0, before.host0, sizeof address.host0) == 0);
  FUZZ_CHECK(address.deviceAddress == before.deviceAddress);
  FUZZ_CHECK(memcmp(address.host52, before.host52, sizeof address.host52) == 0);
  if (result == QV_PARSE_OK) {
    FUZZ_CHECK(fuzz.object->lastError == QV_NO_ERROR);
    FUZZ_CHECK(address.registerTypeIndex == 0 || address.registerTypeIndex == 1);
    const RegisterTypeEntry& row = quorvalend::kRegisterTable[address.registerTypeIndex];
    FUZZ_CHECK(address.registerRow == &row);
    FUZZ_CHECK(address.registerAddress >= row.lowestAddress && address.registerAddress <= row.highestAddress);
    FUZZ_CHECK(address.registerTypeIndex == 0 || address.registerAddress % 10 == 0);
    FUZZ_CHECK(address.dataType == definition.dataType && address.dataType2 == definition.dataType);
    FUZZ_CHECK((static_cast<uint16_t>(definition.dataType) & row.dataTypeMask) != 0);
  } else {
    FUZZ_CHECK(result == QV_PARSE_FAILED);
    const int32_t e = fuzz.object->lastError;
    FUZZ_CHECK(e == 0 || e == 20 || e == 21);
    FUZZ_CHECK(address.dataType == before.dataType && address.dataType2 == before.dataType2);
    if (e != 21 && address.registerAddress != before.registerAddress) FUZZ_CHECK(address.registerAddress == 0);
    if (e == 21) FUZZ_CHECK(address.registerRow == &quorvalend::kRegisterTable[address.registerTypeIndex]);
  }
  return 0;
}
