// The callbook's fixed tables: the eleven index tags of "PYX.CDX" with the
// gauge value shown after each is built, the search choices of the "Поиск"
// menu, the tags behind the grid's column titles, and the card edits in
// the order the controller unlocks and locks them. Texts are UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace pyx {

inline constexpr std::string_view kTableFile = "PYX.DBF";
inline constexpr std::string_view kIndexFile = "PYX.CDX";
// The station whose card is shown after start-up and reindex.
inline constexpr std::string_view kHomeCall = "QZ6ZZZ";

struct CallbookTag {
  std::string_view name;
  std::string_view expression;
  int gauge_after;  // gauge progress once this tag is built
};

// Build order. Every tag: no FOR condition, duplicates allowed, ascending.
// There is no tag on ULIC_ or PRIM_.
inline constexpr std::array<CallbookTag, 11> kCallbookTags{{
    {"FIO", "FAM_+IM_+OTCH_", 9},
    {"IM", "IM_+FAM_+OTCH_", 18},
    {"OTCH", "OTCH_+FAM_+IM_", 27},
    {"CALL", "CALL_", 36},
    {"REG", "REG_", 45},
    {"GOR", "GOR_", 54},
    {"STRANA", "STRANA_", 63},
    {"IND", "IND_", 72},
    {"TEL", "TEL_", 81},
    {"EMAIL", "EMAIL_", 90},
    {"URL", "URL_", 100},
}};
// The gauge's value before the first tag.
inline constexpr int kGaugeStart = 1;

struct SearchChoice {
  std::string_view prompt;  // shown in LabelFind
  std::string_view hint;    // given to EditVvod
  std::string_view tag;     // made the master tag
};

inline constexpr SearchChoice kFindCall{"Поиск по позывному", "Поиск по позывному", "CALL"};
inline constexpr SearchChoice kFindFIOF{"Поиск по фамилии", "Поиск по фамилии", "FIO"};
inline constexpr SearchChoice kFindFIOI{"Поиск по имени", "Поиск по имени", "IM"};
inline constexpr SearchChoice kFindFIOO{"Поиск по отчеству", "Поиск по отчеству", "OTCH"};
inline constexpr SearchChoice kFindInd{"Поиск по индексу", "Поиск по индексу населенного пункта", "IND"};
inline constexpr SearchChoice kFindReg{"Поиск по региону", "Поиск по названию региона", "REG"};
inline constexpr SearchChoice kFindGor{"Поиск по городу", "Поиск по названию населенного пункта", "GOR"};
inline constexpr SearchChoice kFindTel{"Поиск по телефону", "Поиск по номеру телефона", "TEL"};
inline constexpr SearchChoice kFindStr{"Поиск по стране", "Поиск по названию страны", "STRANA"};
inline constexpr SearchChoice kFindEmail{"Поиск по E-mail", "Поиск по Электронному адресу в Интернете", "EMAIL"};
inline constexpr SearchChoice kFindURL{"Поиск по URL", "Поиск по адресу сайта в Интернете", "URL"};

struct TitleTag {
  std::string_view field;
  std::string_view tag;
};
// Grid column (by its field, compared exactly) to the tag a click on its
// title makes master. ULIC_ and PRIM_ have none.
inline constexpr std::array<TitleTag, 11> kTitleTags{{
    {"CALL_", "CALL"},
    {"FAM_", "FIO"},
    {"IM_", "IM"},
    {"OTCH_", "OTCH"},
    {"IND_", "IND"},
    {"REG_", "REG"},
    {"GOR_", "GOR"},
    {"TEL_", "TEL"},
    {"STRANA_", "STRANA"},
    {"EMAIL_", "EMAIL"},
    {"URL_", "URL"},
}};

inline constexpr std::array<std::string_view, 13> kCardEdits{
    "DBEditCall", "DBEditFamily", "DBEditName", "DBEditOtch",  "DBEditReg",   "DBEditGor",  "DBEditUlica",
    "DBEditInd",  "DBEditTel",    "DBEditStrana", "DBEditEmail", "DBEditURL", "DBEditPrim",
};

// System colours by their Windows numbers.
inline constexpr uint32_t kClWindow = 0x80000005;
inline constexpr uint32_t kClBtnFace = 0x8000000F;

// Navigator buttons and the masks of visible buttons.
enum NavigatorButton { kNbFirst = 0, kNbPrior, kNbNext, kNbLast, kNbInsert, kNbDelete, kNbEdit, kNbPost, kNbCancel, kNbRefresh };
inline constexpr uint32_t kPostCancelButtons = 384;  // {post, cancel}
inline constexpr uint32_t kBrowseButtons = 511;      // buttons 0..8
inline constexpr int kNavigatorWidth = 657;

// Windows virtual-key code of Escape.
inline constexpr int kVkEscape = 27;

}  // namespace pyx
