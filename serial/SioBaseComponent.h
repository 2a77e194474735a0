// The base of the serial port component: the loading state, while its
// owner sets the properties between BeginLoading and Loaded. Main thread
// only; throws nothing itself.
#pragma once

namespace tarvix {

class TSioBaseComponent {
 public:
  TSioBaseComponent() = default;
  TSioBaseComponent(const TSioBaseComponent&) = delete;
  TSioBaseComponent& operator=(const TSioBaseComponent&) = delete;
  virtual ~TSioBaseComponent() = default;

  // The owner starts and finishes setting the properties; Loaded performs
  // what was only stored meanwhile (and may throw what that throws).
  void BeginLoading() noexcept { loading_ = true; }
  void Loaded() {
    loading_ = false;
    DoLoaded();
  }
  bool Loading() const noexcept { return loading_; }

 protected:
  virtual void DoLoaded() {}

 private:
  bool loading_ = false;
};

}  // namespace tarvix
