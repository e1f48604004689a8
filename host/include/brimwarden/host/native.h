// Game functions and fields reached by "Class.Member" name through the framework's GetAddress.
// Nothing is cached: every call and every field access resolves the name afresh, so a game
// update that moves a function is picked up without restarting the plugin.
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
  explicit constexpr NativeFunction(const char* name) : name_(name) {}

  R operator()(Args... args) const { return Resolve()(args...); }

  /// Resolves the name now, for a caller that must prepare the arguments after the lookup (one
  /// that hands storage over to the game, say) and call at once.
  R (*Resolve() const)(Args...) {
    return reinterpret_cast<R (*)(Args...)>(GetAddress(std::string(name_)));
  }

  constexpr const char* Name() const { return name_; }

 private:
  const char* name_;
};

/// A field of a game object, reached by its offset inside the object.
template <typename T>
class NativeField {
 public:
  explicit constexpr NativeField(const char* name) : name_(name) {}

  T& operator()(const void* object) const {
    return *static_cast<T*>(GetAddress(object, std::string(name_)));
  }

  constexpr const char* Name() const { return name_; }

 private:
  const char* name_;
};
