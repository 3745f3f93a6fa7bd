// Fuzzes the splitting of parameter texts into fields (plugin and alerting
// arguments come from the database). Every field must be non-empty and made
// of the text's own characters; Setparameter keeps the text as given.
#include <cstdlib>
#include <string>

#include "services/service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t total = 0;
  for (const std::string& field : service::splitFields(text)) {
    if (field.empty() || field.find_first_not_of(text) != std::string::npos) std::abort();
    total += field.size();
  }
  if (total > text.size()) std::abort();

  service record;
  record.Setparameter(text);
  record.SetAlertingParameter(text);
  record.SetAlertingParameter(text);
  if (record.parameter != text) std::abort();
  if (record.alerting_parameters.size() != 2 * record.parameters.size()) std::abort();
  return 0;
}
