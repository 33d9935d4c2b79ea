#include "SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

#include <cstdlib>

namespace pellum {

namespace {

// A hand-over is one line: the URL, percent-encoded, then a line feed; the running instance
// answers "ok" with a line feed once it has taken it.
constexpr qint64 kLineLimit = 64 * 1024;

} // namespace

SingleInstance::SingleInstance(std::optional<std::filesystem::path> socket, QObject *parent)
    : QObject(parent), socket_(socket.value_or(defaultSocketPath())) {}

SingleInstance::~SingleInstance() = default;

std::filesystem::path SingleInstance::defaultSocketPath() {
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    return std::filesystem::path(runtime) / "pellum.socket";
  }
  return std::filesystem::path(QDir::tempPath().toStdString()) /
         ("pellum-" + std::to_string(::getuid()) + ".socket");
}

std::optional<QUrl> SingleInstance::callbackArgument(const QStringList &arguments) {
  for (const QString &argument : arguments) {
    QUrl url(argument, QUrl::StrictMode);
    if (url.isValid() && url.scheme() == QStringLiteral("pellum")) {
      return url;
    }
  }
  return std::nullopt;
}

bool SingleInstance::listen() {
  if (server_ != nullptr) {
    return true;
  }
  const QString name = QString::fromStdString(socket_.string());
  auto server = std::make_unique<QLocalServer>(this);
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(name)) {
    if (server->serverError() != QAbstractSocket::AddressInUseError) {
      return false;
    }
    // Someone answers: that is the running instance. No one: a socket left by one that died.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(1000)) {
      probe.disconnectFromServer();
      return false;
    }
    QLocalServer::removeServer(name);
    if (!server->listen(name)) {
      return false;
    }
  }
  server_ = server.release();
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
  return true;
}

void SingleInstance::accept() {
  while (QLocalSocket *connection = server_->nextPendingConnection()) {
    connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
    connect(connection, &QLocalSocket::readyRead, this, [this, connection] {
      if (!connection->canReadLine()) {
        if (connection->bytesAvailable() > kLineLimit) {
          connection->abort();
        }
        return;
      }
      QByteArray line = connection->readLine(kLineLimit).trimmed();
      connection->write("ok\n");
      connection->flush();
      connection->disconnectFromServer();
      QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
      if (!line.isEmpty() && url.isValid()) {
        emit urlReceived(url);
      }
    });
  }
}

bool SingleInstance::handOff(const std::optional<QUrl> &url,
                             std::optional<std::filesystem::path> socket, int timeoutMilliseconds) {
  QLocalSocket connection;
  connection.connectToServer(QString::fromStdString(socket.value_or(defaultSocketPath()).string()));
  if (!connection.waitForConnected(timeoutMilliseconds)) {
    return false;
  }
  QByteArray line = (url ? url->toEncoded() : QByteArray()) + "\n";
  connection.write(line);
  if (!connection.waitForBytesWritten(timeoutMilliseconds)) {
    return false;
  }
  while (!connection.canReadLine()) {
    if (!connection.waitForReadyRead(timeoutMilliseconds)) {
      return false;
    }
  }
  return connection.readLine().trimmed() == "ok";
}

} // namespace pellum
