#include "studio/content/ContentView.h"

#include "platform/dispatch/DispatchQueue.h"
#include "studio/AudioUnitHostModel.h"

namespace tolvane::studio {

ContentView::ContentView(std::shared_ptr<AudioUnitHostModel> hostModel, double margin,
                         SettingsView::Services sheetServices, std::shared_ptr<DarwinNotifyCenter> notifyCenter)
    : hostModel_(std::move(hostModel)),
      margin_(margin),
      sheetServices_(sheetServices),
      notifyCenter_(std::move(notifyCenter)) {}

ContentView::~ContentView() { disappear(); }

void ContentView::presentSettings(bool fromPlugin) {
    state_->settingsTriggeredFromPlugin = fromPlugin;
    state_->showSettings = true;
}

void ContentView::appear() {
    if (!hostModel_->hasLoadedAudioUnit()) {
        hostModel_->setHasLoadedAudioUnit(true);
        hostModel_->playEngine();
        hostModel_->loadAudioUnit();
    }
    if (state_->notificationObserver) return;
    std::weak_ptr<State> weak = state_;
    // Each handler only queues the request on the main queue. It is dropped there when the view
    // has left the screen meanwhile.
    const auto request = [weak](bool fromPlugin) {
        return [weak, fromPlugin] {
            MainQueue::async([weak, fromPlugin] {
                const auto state = weak.lock();
                if (!state || !state->notificationObserver) return;
                state->settingsTriggeredFromPlugin = fromPlugin;
                state->showSettings = true;
            });
        };
    };
    DarwinSettingsObserver::Handlers handlers{
        {std::string(kShowSettingsStandalone), request(false)},
        {std::string(kShowSettingsPlugin), request(true)},
        {std::string(kShowSettings), request(false)},
    };
    state_->notificationObserver = std::make_unique<DarwinSettingsObserver>(std::move(handlers), notifyCenter_);
}

void ContentView::disappear() { state_->notificationObserver.reset(); }

ContentSnapshot ContentView::snapshot() const {
    ContentSnapshot s;
    const AudioUnitViewModel& viewModel = hostModel_->viewModel();
    s.title = viewModel.title;
    s.message = viewModel.message;
    s.showAudioControls = viewModel.showAudioControls;
    if (hostModel_->audioUnitCrashed()) {
        s.effectArea = ContentSnapshot::EffectArea::crashNotice;
    } else if (viewModel.viewController) {
        s.effectArea = ContentSnapshot::EffectArea::effectView;
        viewModel.viewController->loadViewIfNeeded();
        const CGSize size = viewModel.viewController->preferredContentSize();
        s.effectViewWidth = size.width;
        s.effectViewHeight = size.height;
    }
    if (s.showAudioControls) s.isPlaying = hostModel_->playEngine().isPlaying();
    return s;
}

std::shared_ptr<AUViewController> ContentView::effectViewController() const {
    if (hostModel_->audioUnitCrashed()) return nullptr;
    return hostModel_->viewModel().viewController;
}

void ContentView::pressPlay() {
    PlayEngine& engine = hostModel_->playEngine();
    if (engine.isPlaying()) {
        engine.stopPlaying();
    } else {
        engine.startPlaying();
    }
}

SettingsView* ContentView::settingsSheet() {
    if (!state_->showSettings) {
        state_->sheet.reset();
        return nullptr;
    }
    if (!state_->sheet) state_->sheet = makeSheet();
    return state_->sheet.get();
}

std::unique_ptr<SettingsView> ContentView::makeSheet() {
    AudioUnitHostModel* model = hostModel_.get();
    std::weak_ptr<State> weak = state_;
    return std::make_unique<SettingsView>(
        Binding<bool>{[model] { return model->playEngine().useLiveInput(); },
                      [model](bool value) { model->playEngine().setUseLiveInput(value); }},
        Binding<bool>{[model] { return model->monoSumOn(); }, [model](bool value) { model->setMonoSumOn(value); }},
        Binding<bool>{[model] { return model->hissOn(); }, [model](bool value) { model->setHissOn(value); }},
        Binding<float>{[model] { return model->hissLevel(); }, [model](float value) { model->setHissLevel(value); }},
        [weak] {
            if (auto state = weak.lock()) state->showSettings = false;
        },
        !state_->settingsTriggeredFromPlugin, sheetServices_);
}

}  // namespace tolvane::studio
