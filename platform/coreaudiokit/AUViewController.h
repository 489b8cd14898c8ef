#pragma once

#include "platform/foundation/Bundle.h"

#include <optional>
#include <string>

struct CGSize {
    double width = 0;
    double height = 0;
    bool operator==(const CGSize&) const = default;
};

// The base of a plug-in's view controller: it owns a view (here only its size) that is loaded
// on first use, when viewDidLoad runs.
class AUViewController {
public:
    // No nib and no bundle: a view built in code.
    AUViewController() = default;
    AUViewController(std::optional<std::string> nibName, std::optional<Bundle> bundle)
        : nibName_(std::move(nibName)), bundle_(std::move(bundle)) {}
    virtual ~AUViewController() = default;

    // Loads the view once: viewDidLoad runs on the first call only.
    void loadViewIfNeeded() {
        if (viewLoaded_) return;
        viewLoaded_ = true;
        viewDidLoad();
    }
    bool isViewLoaded() const { return viewLoaded_; }

    CGSize preferredContentSize() const { return preferredContentSize_; }
    void setPreferredContentSize(CGSize size) { preferredContentSize_ = size; }
    CGSize viewSize() const { return viewSize_; }
    void setViewSize(CGSize size) { viewSize_ = size; }

    const std::optional<std::string>& nibName() const { return nibName_; }
    const std::optional<Bundle>& nibBundle() const { return bundle_; }

protected:
    virtual void viewDidLoad() {}

private:
    std::optional<std::string> nibName_;
    std::optional<Bundle> bundle_;
    bool viewLoaded_ = false;
    CGSize preferredContentSize_;
    CGSize viewSize_;
};
