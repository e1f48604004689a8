// Game functions and fields reached by "Class.Member" name through the framework's GetAddress.
// Nothing is cached: every call and every field access resolves the name afresh, so a game
// update that moves a function is picked up without restarting the plugin.
//
// What is kept is the name's text: each constant makes its std::string once, when it is created,
// so that a lookup builds nothing (every name is longer than the string's own small buffer, and a
// new one at each lookup would cost a heap allocation). The plugin's constants (game_names.h,
// own_game_types.h) are inline variables, made when the library is loaded before any process-wide
// object of a file that includes them, and destroyed after those: the library's teardown still
// returns storage through "FMemory.Free".
#pragma once

#include <string>

#include "brimwarden/host/export.h"

BRIMWARDEN_FRAMEWORK_API void* GetAddress(const std::string& name);
BRIMWARDEN_FRAMEWORK_API void* GetAddress(const void* base, const std::string& name);

template <typename Signature>
class NativeFunction;

/// A game function, called as a free function with the object (if any) as first argument.
template <typename R, typename... Args>
class NativeFunction<R(Args...)> {
 public:
  explicit NativeFunction(const char* name) : name_(name) {}

  R operator()(Args... args) const { return Resolve()(args...); }

  /// Resolves the name now, for a caller that must prepare the arguments after the lookup (one
  /// that hands storage over to the game, say) and call at once.
  R (*Resolve() const)(Args...) { return reinterpret_cast<R (*)(Args...)>(GetAddress(name_)); }

  const std::string& Name() const { return name_; }

 private:
  std::string name_;
};

/// A field of a game object, reached by its offset inside the object.
template <typename T>
class NativeField {
 public:
  explicit NativeField(const char* name) : name_(name) {}

  T& operator()(const void* object) const { return *static_cast<T*>(GetAddress(object, name_)); }

  const std::string& Name() const { return name_; }

 private:
  std::string name_;
};
