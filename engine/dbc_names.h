// Long field names of Visual FoxPro tables that belong to a database
// container. The table's descriptors keep at most 10 characters of a name
// ("CONTACT_TY"); the container (".DBC", itself a Visual FoxPro table with
// its memos in ".DCT") holds the names users gave ("contact_type_id").
//
// The container's records that matter here (fields OBJECTID I, PARENTID I,
// OBJECTTYPE C, OBJECTNAME C, PROPERTY M):
//   OBJECTTYPE "Table"   one per table; OBJECTNAME its long name; PROPERTY
//                        a list of properties, of which id 0x01 is the
//                        table file's path relative to the container
//   OBJECTTYPE "Field"   one per field of the table whose OBJECTID is its
//                        PARENTID, in the table's field order; OBJECTNAME
//                        the field's long name
// A property is: total length (uint32 LE, these 7 bytes included), 2
// bytes (01 00), the property id (1 byte), the value (a NUL-terminated
// text for the path).
//
// The _NullFlags field of a table with nullable fields is a system field:
// the container has no record for it.
#pragma once

#include <string>
#include <vector>

namespace tessera {

class KTO_dBaseDBF;

struct ContainerNames {
  // One per field of the table, in field order; an empty text for a field
  // the container does not name. Empty when no names were found.
  std::vector<std::string> names;
  // Why the container gave no names although the table links to one
  // ("database container ..\x.dbc not found"); empty when it did, or when
  // the table links to none.
  std::string problem;
};

// Reads the long field names of `table` from the container its backlink
// names. Never raises: a container that is missing, damaged or does not
// describe this table leaves the short names in force and says why.
ContainerNames ReadContainerNames(const KTO_dBaseDBF& table);

}  // namespace tessera
