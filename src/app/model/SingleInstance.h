#pragma once

#include <QObject>
#include <QStringList>
#include <QUrl>

#include <filesystem>
#include <optional>

class QLocalServer;

namespace pellum {

// Keeps the app to one instance per user. The first instance listens on a local socket in the
// user's runtime directory; a later launch finds it there, hands over the "pellum:" URL it was
// started with (the browser's sign-in callback) and exits. Main thread only.
//
//   SingleInstance instance;
//   if (!instance.listen()) return SingleInstance::handOff(SingleInstance::callbackArgument(args))
//                                      ? 0 : 1;
//   connect(&instance, &SingleInstance::urlReceived, &model, &PellumModel::handleCallbackURL);
class SingleInstance : public QObject {
  Q_OBJECT

public:
  // `socket` defaults to defaultSocketPath().
  explicit SingleInstance(std::optional<std::filesystem::path> socket = std::nullopt,
                          QObject *parent = nullptr);
  ~SingleInstance() override;

  // Becomes the running instance. False when another instance answers on the socket; a socket
  // left behind by an instance that died is replaced.
  bool listen();

  // Sends `url` to the running instance at `socket` and waits until it has been read. True when
  // it was delivered. Also true, sending nothing, for an empty URL when an instance answers.
  static bool handOff(const std::optional<QUrl> &url,
                      std::optional<std::filesystem::path> socket = std::nullopt,
                      int timeoutMilliseconds = 5000);

  // The first argument with the "pellum" scheme, if any.
  static std::optional<QUrl> callbackArgument(const QStringList &arguments);

  // $XDG_RUNTIME_DIR/pellum.socket, else a per-user name in the temporary directory.
  static std::filesystem::path defaultSocketPath();

signals:
  // A later launch handed over this URL.
  void urlReceived(const QUrl &url);

private:
  void accept();

  std::filesystem::path socket_;
  QLocalServer *server_ = nullptr;
};

} // namespace pellum
