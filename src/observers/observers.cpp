// One conversion's observers: the header tracking and counters they share, the save step, and
// the observers the layout binds to the flows.
#include "observers/observers.h"

#include "flow_observers.h"
#include "header_summary.h"
#include "save_step.h"

Observers::Observers(const ObserverSettings& runSettings, FlowTable& flowTable,
                     const ObserverOutputs& outputs)
    : settings(runSettings),
      table(flowTable),
      output(outputs.output),
      postProcess(outputs.postProcess),
      flightTrack(outputs.flightTrack),
      display(outputs.display),
      aesaTiming(outputs.aesaTiming),
      headerSummary_(std::make_unique<HeaderSummaryFile>(outputs.files)),
      currentCounters_(settings.firmwareHeader ? firmwareCounters_ : softwareCounters_),
      saveStep_(std::make_unique<SaveStep>(settings, tracking_, currentCounters_, output,
                                           postProcess)) {
  const ObserverContext context{settings,   table,          postProcess, flightTrack, display,
                                aesaTiming, *headerSummary_, tracking_,  *saveStep_};
  softHeaderObserver_ = std::make_unique<SoftHeaderObserver>(context, softwareCounters_, tracking_);
  headerObserver_ = std::make_unique<HeaderObserver>(context, firmwareCounters_, tracking_,
                                                     *softHeaderObserver_);
  flowObserver_ = std::make_unique<FlowObserver>(context, *softHeaderObserver_);
  tracking_.currentRows = settings.rows;
  tracking_.currentCols = settings.cols;
  tracking_.standbyWait = settings.fromstby;
}

Observers::~Observers() = default;

LayoutTargets Observers::layoutTargets() {
  return LayoutTargets{headerObserver_.get(), flowObserver_.get(), &headerObserver_->offsets,
                       &softHeaderObserver_->offsets};
}

bool Observers::saveFlow(Flow& flow) { return saveStep_->saveFlow(flow); }

HeaderObserver& Observers::currentHeader() {
  return settings.firmwareHeader ? *headerObserver_ : *softHeaderObserver_;
}
