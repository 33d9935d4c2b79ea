#include "LocalApp.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace pellum {

const std::vector<LocalApp> &LocalApp::catalog() {
  static const std::vector<LocalApp> apps{
      {QStringLiteral("notara"), QStringLiteral("Notara"),
       QStringLiteral("Notes, tasks & projects"),
       QStringLiteral("Give your AI tools access to the notes, tasks, and projects in Notara on "
                      "your Mac."),
       QStringLiteral("com.vexhall.notara"), QUrl(QStringLiteral("https://vexhall.com/notara")),
       QStringLiteral("http://localhost:3000/mcp"),
       QStringLiteral("Open Notara and turn on Settings → Enable MCP. MCP requires Notara Pro or "
                      "its trial. Keep Notara running while using this connection.")},
      {QStringLiteral("pirrel"), QStringLiteral("Pirrel"), QStringLiteral("From Tavio"),
       QStringLiteral("Let your AI tools read the local conversations of Claude Code and Codex, "
                      "and send them follow-up instructions through Pirrel."),
       QStringLiteral("com.vexhall.tavio"), QUrl(QStringLiteral("https://vexhall.com/tavio")),
       QStringLiteral("http://localhost:3002/mcp"),
       QStringLiteral("Open Tavio Preferences → Pirrel and enable the applet. Copy the server URL "
                      "shown there if you changed its port. Keep Tavio and Pirrel running while "
                      "using this connection.")},
  };
  return apps;
}

QString LocalApp::openLabel() const {
  return id == QLatin1String("pirrel") ? QStringLiteral("Open Tavio")
                                       : QStringLiteral("Open Notara");
}

InstalledApp::InstalledApp(QString desktopFile) : desktopFile_(std::move(desktopFile)) {}

std::optional<InstalledApp> InstalledApp::find(const QString &bundleID) {
  const QString path = QStandardPaths::locate(QStandardPaths::ApplicationsLocation,
                                              bundleID + QStringLiteral(".desktop"));
  if (path.isEmpty())
    return std::nullopt;
  return InstalledApp(path);
}

// The value of `key` in the "[Desktop Entry]" group; other groups (actions) are skipped.
QString InstalledApp::value(const QString &key) const {
  QFile file(desktopFile_);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
    return {};
  bool inEntry = false;
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine()).trimmed();
    if (line.startsWith(QLatin1Char('['))) {
      inEntry = line == QLatin1String("[Desktop Entry]");
      continue;
    }
    if (!inEntry)
      continue;
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals > 0 && line.left(equals).trimmed() == key)
      return line.mid(equals + 1).trimmed();
  }
  return {};
}

QIcon InstalledApp::icon() const {
  const QString name = value(QStringLiteral("Icon"));
  if (name.isEmpty())
    return {};
  if (QFileInfo(name).isAbsolute())
    return QFileInfo::exists(name) ? QIcon(name) : QIcon();
  return QIcon::fromTheme(name);
}

QStringList InstalledApp::execArguments(const QString &exec) {
  QStringList arguments;
  for (const QString &argument : QProcess::splitCommand(exec)) {
    // Field codes stand for files and URLs we never pass; "%%" is a literal percent sign.
    if (argument.size() == 2 && argument[0] == QLatin1Char('%') && argument[1] != QLatin1Char('%'))
      continue;
    QString copy = argument;
    arguments.append(copy.replace(QStringLiteral("%%"), QStringLiteral("%")));
  }
  return arguments;
}

bool InstalledApp::launch() const {
  QStringList arguments = execArguments(value(QStringLiteral("Exec")));
  if (arguments.isEmpty())
    return false;
  const QString program = arguments.takeFirst();
  return QProcess::startDetached(program, arguments);
}

} // namespace pellum
