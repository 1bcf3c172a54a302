#include "tools/pyx_sample/sample_cards.h"

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "engine/dbf_fields.h"
#include "platform/codepage.h"

namespace pyx_sample {
namespace {

struct Person {
  const char* male;
  const char* female;
};

constexpr Person kSurnames[] = {
    {"Иванов", "Иванова"},     {"Петров", "Петрова"},       {"Смирнов", "Смирнова"},
    {"Кузнецов", "Кузнецова"}, {"Попов", "Попова"},         {"Васильев", "Васильева"},
    {"Соколов", "Соколова"},   {"Михайлов", "Михайлова"},   {"Новиков", "Новикова"},
    {"Фёдоров", "Фёдорова"},   {"Морозов", "Морозова"},     {"Волков", "Волкова"},
    {"Алексеев", "Алексеева"}, {"Лебедев", "Лебедева"},     {"Семёнов", "Семёнова"},
    {"Егоров", "Егорова"},     {"Павлов", "Павлова"},       {"Козлов", "Козлова"},
    {"Степанов", "Степанова"}, {"Николаев", "Николаева"},   {"Орлов", "Орлова"},
    {"Андреев", "Андреева"},   {"Макаров", "Макарова"},     {"Никитин", "Никитина"},
    {"Захаров", "Захарова"},   {"Зайцев", "Зайцева"},       {"Соловьёв", "Соловьёва"},
    {"Борисов", "Борисова"},   {"Яковлев", "Яковлева"},     {"Григорьев", "Григорьева"},
    {"Романов", "Романова"},   {"Воробьёв", "Воробьёва"},   {"Сергеев", "Сергеева"},
    {"Кузьмин", "Кузьмина"},   {"Фролов", "Фролова"},       {"Александров", "Александрова"},
    {"Дмитриев", "Дмитриева"}, {"Королёв", "Королёва"},     {"Гусев", "Гусева"},
    {"Киселёв", "Киселёва"},   {"Ильин", "Ильина"},         {"Максимов", "Максимова"},
    {"Поляков", "Полякова"},   {"Сорокин", "Сорокина"},     {"Виноградов", "Виноградова"},
    {"Ковалёв", "Ковалёва"},   {"Белов", "Белова"},         {"Медведев", "Медведева"},
    {"Антонов", "Антонова"},   {"Тарасов", "Тарасова"},     {"Жуков", "Жукова"},
    {"Баранов", "Баранова"},   {"Филиппов", "Филиппова"},   {"Комаров", "Комарова"},
    {"Давыдов", "Давыдова"},   {"Беляев", "Беляева"},       {"Герасимов", "Герасимова"},
    {"Богданов", "Богданова"}, {"Осипов", "Осипова"},       {"Сидоров", "Сидорова"},
    {"Матвеев", "Матвеева"},   {"Титов", "Титова"},         {"Марков", "Маркова"},
    {"Миронов", "Миронова"},   {"Крылов", "Крылова"},       {"Куликов", "Куликова"},
    {"Карпов", "Карпова"},     {"Власов", "Власова"},       {"Мельников", "Мельникова"},
    {"Денисов", "Денисова"},   {"Гаврилов", "Гаврилова"},   {"Тихонов", "Тихонова"},
    {"Ёлкин", "Ёлкина"},       {"Щербаков", "Щербакова"},   {"Эйдельман", "Эйдельман"},
    {"Юдин", "Юдина"},         {"Широков", "Широкова"},     {"Чернов", "Чернова"},
};

constexpr const char* kMaleNames[] = {
    "Александр", "Алексей", "Андрей", "Антон",   "Борис",     "Вадим",    "Валентин", "Валерий",
    "Василий",   "Виктор",  "Владимир", "Вячеслав", "Геннадий", "Георгий",  "Григорий", "Дмитрий",
    "Евгений",   "Иван",    "Игорь",  "Константин", "Леонид",  "Максим",   "Михаил",   "Николай",
    "Олег",      "Павел",   "Пётр",   "Роман",   "Сергей",    "Станислав", "Юрий",     "Ярослав",
};
constexpr const char* kFemaleNames[] = {
    "Анна",  "Валентина", "Галина", "Елена",  "Ирина",    "Людмила", "Марина", "Надежда",
    "Наталья", "Ольга",   "Светлана", "Татьяна", "Юлия",  "Ксения",  "Вера",   "Любовь",
};
// Fathers' names, from which patronymics are made.
constexpr Person kPatronymics[] = {
    {"Александрович", "Александровна"}, {"Алексеевич", "Алексеевна"}, {"Андреевич", "Андреевна"},
    {"Борисович", "Борисовна"},         {"Васильевич", "Васильевна"}, {"Викторович", "Викторовна"},
    {"Владимирович", "Владимировна"},   {"Геннадьевич", "Геннадьевна"}, {"Дмитриевич", "Дмитриевна"},
    {"Евгеньевич", "Евгеньевна"},       {"Иванович", "Ивановна"},     {"Игоревич", "Игоревна"},
    {"Михайлович", "Михайловна"},       {"Николаевич", "Николаевна"}, {"Олегович", "Олеговна"},
    {"Павлович", "Павловна"},           {"Петрович", "Петровна"},     {"Сергеевич", "Сергеевна"},
    {"Юрьевич", "Юрьевна"},             {"Фёдорович", "Фёдоровна"},
};

struct Place {
  const char* town;
  const char* region;
  const char* district;  // the callsign's call area digit
  const char* index_prefix;
};
constexpr Place kPlaces[] = {
    {"Москва", "Москва", "3", "1"},
    {"Санкт-Петербург", "Санкт-Петербург", "1", "19"},
    {"Зеленоград", "Москва", "3", "124"},
    {"Тверь", "Тверская обл.", "3", "170"},
    {"Ярославль", "Ярославская обл.", "3", "150"},
    {"Калуга", "Калужская обл.", "3", "248"},
    {"Воронеж", "Воронежская обл.", "3", "394"},
    {"Нижний Новгород", "Нижегородская обл.", "3", "603"},
    {"Казань", "Республика Татарстан", "4", "420"},
    {"Самара", "Самарская обл.", "4", "443"},
    {"Саратов", "Саратовская обл.", "4", "410"},
    {"Пенза", "Пензенская обл.", "4", "440"},
    {"Ростов-на-Дону", "Ростовская обл.", "6", "344"},
    {"Краснодар", "Краснодарский край", "6", "350"},
    {"Сочи", "Краснодарский край", "6", "354"},
    {"Ставрополь", "Ставропольский край", "6", "355"},
    {"Екатеринбург", "Свердловская обл.", "9", "620"},
    {"Челябинск", "Челябинская обл.", "9", "454"},
    {"Пермь", "Пермский край", "9", "614"},
    {"Новосибирск", "Новосибирская обл.", "9", "630"},
    {"Омск", "Омская обл.", "9", "644"},
    {"Томск", "Томская обл.", "9", "634"},
    {"Красноярск", "Красноярский край", "0", "660"},
    {"Иркутск", "Иркутская обл.", "0", "664"},
    {"Хабаровск", "Хабаровский край", "0", "680"},
    {"Владивосток", "Приморский край", "0", "690"},
    {"Мурманск", "Мурманская обл.", "1", "183"},
    {"Архангельск", "Архангельская обл.", "1", "163"},
    {"Калининград", "Калининградская обл.", "2", "236"},
    {"Псков", "Псковская обл.", "1", "180"},
};

constexpr const char* kStreets[] = {
    "ул. Ленина",      "ул. Гагарина",   "пр. Мира",        "ул. Садовая",     "ул. Советская",
    "ул. Молодёжная",  "ул. Школьная",   "ул. Лесная",      "ул. Набережная",  "пер. Почтовый",
    "ул. Пушкина",     "ул. Чехова",     "ул. Кирова",      "ул. Строителей",  "бул. Победы",
    "ул. Полевая",     "ул. Заречная",   "ул. Радио",       "ул. Королёва",    "ш. Энтузиастов",
};

constexpr const char* kRemarks[] = {
    "QSL via бюро",        "QSL direct",         "QSL via LoTW",      "член СРР",
    "CW, SSB",             "только CW",          "RTTY, PSK31",       "UKV 144 МГц",
    "участник RDXC",       "экспедиция IOTA",    "контест-станция",   "ветеран",
    "коллективная станция", "QRP 5 Вт",          "EME 432 МГц",       "диплом P-100-O",
};

constexpr const char* kRussianPrefixes[] = {"UA", "UA", "RA", "RK", "RN", "RU", "RV", "RW", "RX", "RZ", "R"};

struct Foreign {
  const char* prefix;
  const char* country;
};
constexpr Foreign kForeign[] = {
    {"UR", "Украина"},  {"EW", "Беларусь"}, {"UN", "Казахстан"}, {"ES", "Эстония"},
    {"YL", "Латвия"},   {"LY", "Литва"},    {"DL", "Германия"},  {"SP", "Польша"},
    {"OK", "Чехия"},    {"HA", "Венгрия"},  {"YO", "Румыния"},   {"LZ", "Болгария"},
    {"OH", "Финляндия"}, {"SM", "Швеция"},  {"G", "Англия"},     {"F", "Франция"},
    {"I", "Италия"},    {"EA", "Испания"},  {"JA", "Япония"},    {"K", "США"},
    {"W", "США"},       {"VE", "Канада"},   {"VK", "Австралия"}, {"4X", "Израиль"},
};

// Latin spellings for e-mail and web addresses.
std::string Transliterate(const std::string& utf8) {
  static const char* const kMap[] = {"a", "b", "v", "g", "d", "e", "zh", "z", "i", "y", "k", "l", "m", "n",
                                     "o", "p", "r", "s", "t", "u", "f", "kh", "ts", "ch", "sh", "shch", "",
                                     "y", "", "e", "yu", "ya"};
  std::string out;
  const std::u16string w = plat::OemToUtf16(plat::Utf8ToOem(utf8));
  for (char16_t c : w) {
    if (c >= u'А' && c <= u'Я') c = static_cast<char16_t>(c + 0x20);
    if (c == u'Ё' || c == u'ё') out += "e";
    else if (c >= u'а' && c <= u'я') out += kMap[c - u'а'];
    else if (c < 0x80 && std::isalnum(static_cast<int>(c))) out += static_cast<char>(std::tolower(static_cast<int>(c)));
  }
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

template <typename T, size_t N>
const T& Pick(const T (&arr)[N], int r) {
  return arr[static_cast<size_t>(r) % N];
}

}  // namespace

const std::vector<tessera::FieldSpec>& CallbookFields() {
  static const std::vector<tessera::FieldSpec> fields = {
      {"CALL_", 'C', 10, 0}, {"FAM_", 'C', 20, 0},   {"IM_", 'C', 15, 0},    {"OTCH_", 'C', 20, 0},
      {"IND_", 'C', 6, 0},   {"REG_", 'C', 30, 0},   {"GOR_", 'C', 25, 0},   {"ULIC_", 'C', 40, 0},
      {"TEL_", 'C', 15, 0},  {"PRIM_", 'C', 40, 0},  {"STRANA_", 'C', 20, 0}, {"EMAIL_", 'C', 40, 0},
      {"URL_", 'C', 40, 0},
  };
  return fields;
}

CardGenerator::CardGenerator(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}

// splitmix64: the same sequence on every platform, unlike the standard
// library's distributions.
uint64_t CardGenerator::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Card CardGenerator::Make(int64_t index, int64_t total) {
  Card c;
  const bool female = Chance(12);
  const Place& place = Pick(kPlaces, Below(1000));
  const bool foreign = Chance(15);
  std::string call;
  std::string suffix;
  const int suffix_len = 1 + Below(3) + (Chance(30) ? 0 : 0);
  for (int i = 0; i < suffix_len; ++i) suffix += static_cast<char>('A' + Below(26));
  if (foreign) {
    const Foreign& f = Pick(kForeign, Below(1000));
    call = std::string(f.prefix) + std::to_string(Below(10)) + suffix;
    c[10] = f.country;
  } else {
    call = std::string(Pick(kRussianPrefixes, Below(1000))) + place.district + suffix;
    c[10] = "Россия";
  }
  if (Chance(2)) call += "/P";
  if (call.size() > 10) call.resize(10);
  const Person& fam = Pick(kSurnames, Below(1000));
  c[0] = call;
  c[1] = female ? fam.female : fam.male;
  c[2] = female ? Pick(kFemaleNames, Below(1000)) : Pick(kMaleNames, Below(1000));
  const Person& otch = Pick(kPatronymics, Below(1000));
  c[3] = Chance(5) ? "" : (female ? otch.female : otch.male);
  std::string index_text = place.index_prefix;
  while (index_text.size() < 6) index_text += static_cast<char>('0' + Below(10));
  c[4] = foreign || Chance(8) ? "" : index_text;
  c[5] = foreign ? "" : place.region;
  c[6] = foreign ? "" : place.town;
  if (!foreign && !Chance(10)) {
    c[7] = std::string(Pick(kStreets, Below(1000))) + ", д. " + std::to_string(1 + Below(120));
    if (Chance(60)) c[7] += ", кв. " + std::to_string(1 + Below(300));
  }
  if (Chance(70)) {
    c[8] = "8-" + std::to_string(300 + Below(600)) + "-" + std::to_string(1000000 + Below(9000000));
  }
  c[9] = Chance(40) ? Pick(kRemarks, Below(1000)) : "";
  const std::string login = Lower(call.substr(0, call.find('/')));
  if (Chance(55)) {
    static const char* const kDomains[] = {"example.ru", "example.com", "example.org", "example.net"};
    c[11] = (Chance(50) ? Transliterate(c[1]) : login) + "@" + Pick(kDomains, Below(1000));
  }
  if (Chance(20)) c[12] = "http://www.example.org/" + login;

  const int64_t qz = total <= 1000 ? total - 1 : 1000;
  if (index == qz) {
    c = Card{"QZ6ZZZ", "Тестов", "Тест", "Тестович", "000000", "Тестовая обл.", "Тестоград",
             "ул. Примерная, д. 1", "8-000-0000000", "контрольная карточка", "Россия",
             "qz6zzz@example.org", "http://www.example.org/qz6zzz"};
  }
  return c;
}

void WriteSampleTable(const std::string& dir, int64_t cards, uint64_t seed, bool overwrite, Letters letters) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw std::runtime_error("Cannot make the folder " + dir + ": " + ec.message());
  const std::string path = dir + "/Pyx.DBF";
  tessera::CreateOptions options;
  options.overwrite = overwrite;
  tessera::CreateTable(path, 0x03, CallbookFields(), options);
  tessera::KTO_dBaseFld table(path, false, true);
  // One table lock for the whole run: the header is written once, at the end.
  table.LockTable();
  CardGenerator gen(seed);
  for (int64_t i = 0; i < cards; ++i) {
    const Card card = gen.Make(i, cards);
    table.BlankRecord();
    for (int f = 0; f < kFieldCount; ++f)
      if (!card[f].empty()) {
        const std::string text = plat::Utf8ToOem(card[f]);
        table.PutTextN(f + 1, letters == Letters::kCapitals ? plat::UpperText(text) : text);
      }
    table.AppendRecord();
  }
  table.UnlockTable();
}

}  // namespace pyx_sample
