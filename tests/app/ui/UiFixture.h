#pragma once

#include "PellumModel.h"
#include "ScopedVariable.h"
#include "TempDir.h"

#include "config/LocalServer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QObject>
#include <QWidget>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pellum::test {

// The Qt Test classes of the program, by name.
std::vector<std::pair<std::string, std::function<QObject *()>>> &registeredTests();

// Registers a Qt Test class with the test program's main, which runs every registered class.
struct UiTestRegistration {
  UiTestRegistration(const char *name, std::function<QObject *()> make);
};
#define PELLUM_UI_TEST(Class)                                                                      \
  static const ::pellum::test::UiTestRegistration registration##Class(#Class,                      \
                                                                      [] { return new Class; })

// One management command as the executor received it.
struct Call {
  std::vector<std::string> arguments;
  std::optional<std::string> input;
  bool operator==(const Call &) const = default;
};

// A model in phase ready over a temporary home whose configuration directory holds a sample device
// with `services`. Its executor records every command and applies "add" and "remove" to
// "config.json" as the real one would, so the screens see the list change; `failure`, when set,
// makes it throw that message instead.
class UiFixture {
public:
  explicit UiFixture(std::vector<LocalServer> services = {});
  ~UiFixture();

  PellumModel &model() { return *model_; }
  std::vector<Call> calls();
  void setFailure(std::optional<std::string> message);
  // Waits until the model is idle again after a command.
  bool waitIdle();

  TempDir root;

private:
  ScopedVariable dataHome_;
  std::mutex mutex_;
  std::vector<Call> calls_;
  std::optional<std::string> failure_;
  std::unique_ptr<PellumModel> model_;
};

LocalServer httpService(const std::string &slug, const std::string &name, const std::string &url);
LocalServer stdioService(const std::string &slug, const std::string &name,
                         const std::string &command);

// The visible button (push or tool button) under `root` whose text is `text`, or nullptr.
QAbstractButton *findButton(QWidget *root, const QString &text);
// Texts of the visible buttons under `root`, top to bottom and left to right.
QStringList buttonTexts(QWidget *root);
// True when a visible label under `root` reads `text`.
bool showsText(QWidget *root, const QString &text);
// The visible label under `root` that reads `text`, or nullptr.
QLabel *findLabel(QWidget *root, const QString &text);
// True when `label` is drawn in the caption text style.
bool inCaptionStyle(const QLabel *label);
// The newest visible top-level widget of type T (sheets and dialogs), or nullptr.
template <typename T> T *topLevel() {
  T *found = nullptr;
  for (QWidget *widget : QApplication::topLevelWidgets())
    if (auto *typed = qobject_cast<T *>(widget); typed && typed->isVisible())
      found = typed;
  return found;
}
// Closes every top-level widget left open by a test.
void closeTopLevels();

} // namespace pellum::test
