#pragma once

#include <QIcon>
#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

namespace pellum {

// One entry of the built-in catalog of local apps that serve MCP over local HTTP. A plain value.
struct LocalApp {
  QString id; // also the namespace of the service that setting it up creates
  QString name;
  QString subtitle;
  QString description;
  QString bundleID;
  QUrl learnMoreURL;
  QString endpoint;
  QString instructions;

  // The fixed catalog, in display order.
  static const std::vector<LocalApp> &catalog();

  // The label of the button that opens the installed app.
  QString openLabel() const;
};

// Where an app of the catalog is installed: its desktop entry, named after the bundle identifier
// (a reverse-DNS desktop file id, as Flatpak uses), in the XDG data directories. Looked up anew
// at each call, so installing or removing the app shows without a restart. GUI thread only.
class InstalledApp {
public:
  // The entry of `bundleID`, if one is installed.
  static std::optional<InstalledApp> find(const QString &bundleID);

  const QString &desktopFile() const { return desktopFile_; }
  // The entry's icon: an absolute path or a theme icon name; null when it names none usable.
  QIcon icon() const;
  // Starts the entry's program, detached. False when it cannot be started.
  bool launch() const;

  // The program and arguments of an "Exec" value, field codes removed.
  static QStringList execArguments(const QString &exec);

private:
  explicit InstalledApp(QString desktopFile);
  QString value(const QString &key) const;

  QString desktopFile_;
};

} // namespace pellum
