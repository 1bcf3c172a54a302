// DBFObject: the last class of the table chain (KTO_DiskFile → KTO_dBaseDBF
// → KTO_dBaseFld → KTO_dBHandler → DBFObject), the table a TTesseraDataSet
// owns while it is open. It routes two of the handler's hooks back to its
// dataset: the acceptance test of navigation (the dataset's OnFilterRecord)
// and the status reports of long operations (the dataset's OnStatus).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/dbf_handler.h"

namespace tessera {

class TTesseraDataSet;

class DBFObject : public KTO_dBHandler {
 public:
  // Opens the table; `owner` (which outlives the table) gets the hooks.
  // The encryption key is kept for enciphered tables.
  DBFObject(std::string_view file_name, bool shared, bool writable, std::string_view encryption_key,
            TTesseraDataSet* owner);
  ~DBFObject() override;

  void StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override;
  bool RecordAccepted() override;

  TTesseraDataSet* Owner() const { return owner_; }
  const std::string& EncryptionKey() const { return encryption_key_; }

 private:
  TTesseraDataSet* owner_;
  std::string encryption_key_;
};

}  // namespace tessera
