// This is a public header file.
// The component framework: TObject, and TComponent with an owner, a name and owned components.
//
// An owner destroys the components it owns. When a component's destruction reaches the base
// destructor, the destroying mark is set on it and on everything it owns, recursively, before the
// owned components are destroyed: a component destroyed together with its owner sees the mark in
// its own destructor, one destroyed on its own does not.
#pragma once

#include <string>
#include <vector>

namespace vantrel {

class TObject {
 public:
  virtual ~TObject() = default;
};

enum TOperation : unsigned char { opInsert, opRemove };

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(index); }

  // True once destruction has begun (csDestroying).
  bool Destroying() const { return destroying_; }

 protected:
  // Called when a component is added to or removed from this owner.
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  void MarkDestroying();
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;  // owned: destroyed by ~TComponent
  bool destroying_ = false;
};

}  // namespace vantrel
