// DbEdit: a one-line edit bound to one field of a data source's dataset.
// It shows the field of the current record; typed text goes back into the
// field when the dataset is in edit or insert state (typing into a browsing
// dataset starts an edit when the source allows it) and is stored before
// the record is posted or when the edit loses the focus. Texts are turned
// from the window code page into Unicode here and nowhere else.
#pragma once

#include <QColor>
#include <QLineEdit>
#include <cstdint>
#include <memory>
#include <string>

namespace dbkit {
class DataSource;
class Field;
class FieldDataLink;
}  // namespace dbkit

namespace widgets {

class DbEdit : public QLineEdit {
  Q_OBJECT

 public:
  enum class CharCase { kNormal, kUpper, kLower };

  // System colours by their Windows numbers, as the callbook sets them.
  static constexpr uint32_t kWindowColour = 0x80000005;
  static constexpr uint32_t kButtonFaceColour = 0x8000000F;

  explicit DbEdit(QWidget* parent = nullptr);
  ~DbEdit() override;

  void SetDataSource(dbkit::DataSource* source);
  dbkit::DataSource* DataSource() const;
  void SetDataField(std::string name);
  const std::string& DataField() const;
  // The bound field while the dataset is open, else null.
  dbkit::Field* Field() const;

  // A read-only edit shows its field and never changes it.
  void SetReadOnly(bool value);
  bool ReadOnly() const { return read_only_; }
  // Typed letters are turned into capitals (or small letters); the field's
  // text is shown in that case too.
  void SetCharCase(CharCase value);
  CharCase GetCharCase() const { return char_case_; }
  // Whether Tab stops here.
  void SetTabStop(bool value);
  bool TabStop() const;
  // The background: the system window colour or button-face colour by
  // number (other numbers are ignored), or any colour.
  void SetSystemColour(uint32_t code);
  void SetBackground(const QColor& colour);
  QColor Background() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void ShowField();
  void StoreText();
  void UpdateEditable();
  void OnTextEdited();
  bool StoreNow();

  std::unique_ptr<dbkit::FieldDataLink> link_;
  bool read_only_ = false;
  CharCase char_case_ = CharCase::kNormal;
  bool showing_ = false;
};

}  // namespace widgets
