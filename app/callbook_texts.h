// The callbook's own texts beyond those of the window's controls: the
// questions it asks, its notes, and what it writes into the status line
// about the index and the table. UTF-8; "%s" takes a name or a list.
#pragma once

#include <string_view>

namespace pyx {

// Closing the window (its close button, F10, the session ending) while a
// card is being edited or added.
inline constexpr std::string_view kAskSaveChanges = "Сохранить изменения?";
inline constexpr std::string_view kButtonYes = "Да";
inline constexpr std::string_view kButtonNo = "Нет";
inline constexpr std::string_view kButtonCancel = "Отмена";

// No callbook table in the folder: the folder (twice) by its full path.
inline constexpr std::string_view kNoTable =
    "В папке %s нет справочника Pyx.DBF.\n\n"
    "Чтобы попробовать программу, создайте справочник-пример командой\n"
    "    pyx-sample %s\n"
    "и запустите программу снова. Если ваш справочник лежит в другой папке, выберите её.";
inline constexpr std::string_view kButtonChooseFolder = "Выбрать папку…";
inline constexpr std::string_view kButtonClose = "Закрыть";
inline constexpr std::string_view kChooseFolderTitle = "Папка справочника Pyx.DBF";

// "Переиндексация" over an index that holds tags of other programs (their
// names, comma-separated).
inline constexpr std::string_view kAskForeignTags =
    "В индексе PYX.CDX, кроме тегов справочника, есть теги других программ: %s.\n\n"
    "Сохранить их (они будут перестроены вместе с тегами справочника) или удалить?";
inline constexpr std::string_view kButtonKeep = "Сохранить";
inline constexpr std::string_view kButtonRemove = "Удалить";

// F4 found the card changed by another program since it was shown.
inline constexpr std::string_view kCardChangedByOther =
    "Карточку изменила другая программа, пока она была на экране.\n"
    "Показана её новая версия: правьте её.";

// Status line texts.
inline constexpr std::string_view kStatusIndexInterrupted =
    "Запись в индекс PYX.CDX не была завершена, индекс перестроен";
inline constexpr std::string_view kStatusIndexMismatch = "Индекс PYX.CDX не соответствует таблице и перестроен";
// The tags built (comma-separated).
inline constexpr std::string_view kStatusTagsAdded = "В индекс PYX.CDX добавлены теги справочника: %s";
// Every one of the callbook's tags was built (the list would not fit).
inline constexpr std::string_view kStatusAllTagsAdded = "В индекс PYX.CDX добавлены все теги справочника";
inline constexpr std::string_view kStatusOtherTagsKept = "теги других программ сохранены";
inline constexpr std::string_view kStatusIndexNotBuilt =
    "Индекс PYX.CDX не построен, поиск недоступен; «Переиндексация» построит его снова";
inline constexpr std::string_view kStatusIndexNotRebuilt =
    "Индекс PYX.CDX не перестроен, в работе прежний; «Переиндексация» попробует снова";
inline constexpr std::string_view kStatusReadOnly =
    "Справочник открыт только для чтения: карточки нельзя добавлять, изменять и удалять";

}  // namespace pyx
