#pragma once

namespace pellum {

// Where the app stands with this computer's pairing. `FirstRun::inspect` yields only
// conversionOffer, loginRequired, pairing and ready; the app moves through the others itself.
enum class FirstRunPhase {
  checking,
  conversionOffer,
  loginRequired,
  signingIn,
  converting,
  pairing,
  ready,
  blocked,
  declined,
};

// Sign-in is offered only to a computer without a pairing.
constexpr bool permitsLogin(FirstRunPhase phase) { return phase == FirstRunPhase::loginRequired; }

// The local services screen needs a finished pairing that the app owns.
constexpr bool permitsWorkspace(FirstRunPhase phase) { return phase == FirstRunPhase::ready; }

} // namespace pellum
