#include "dataset/dbf_object.h"

#include "dataset/tessera_data_set.h"

namespace tessera {

DBFObject::DBFObject(std::string_view file_name, bool shared, bool writable, std::string_view encryption_key,
                     TTesseraDataSet* owner)
    : KTO_dBHandler(file_name, shared, writable), owner_(owner), encryption_key_(encryption_key) {}

DBFObject::~DBFObject() = default;

void DBFObject::StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) {
  if (owner_ != nullptr) owner_->ReportStatus(stat1, stat2, stat3);
}

bool DBFObject::RecordAccepted() { return owner_ == nullptr || owner_->AcceptRecord(); }

}  // namespace tessera
