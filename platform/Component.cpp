#include "Component.h"

#include <algorithm>

namespace vantrel {

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  MarkDestroying();
  // Each owned component removes itself from the list in its own destructor.
  while (!components_.empty()) delete components_.back();
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::MarkDestroying() {
  destroying_ = true;
  for (TComponent* c : components_) c->MarkDestroying();
}

void TComponent::InsertComponent(TComponent* component) {
  components_.push_back(component);
  component->owner_ = this;
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it == components_.end()) return;
  components_.erase(it);
  component->owner_ = nullptr;
  Notification(component, opRemove);
}

}  // namespace vantrel
