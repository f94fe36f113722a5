// The motors as ONVIF sees them. Each axis maps its reachable range (the MinStep value to
// the MaxStep value) linearly onto the generic space [-1, 1]; a relative move of 2 in that
// scale crosses the whole range, one of 1 in the field-of-view space half the field of view.
// Speed 1 is one half-step per tick; speed s steps every round(1/s)-th tick, at least one
// half-step per 100 ms (speed 0 and every speed up to 0.01 take that slowest pace). Every move goes
// through the motors' own moves, so limits, the scroll bar, the saves and the window see it as they
// see a button's; a new request replaces a move that runs.
#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <chrono>
#include <optional>

#include "Motor.h"
#include "OnvifConfig.h"

namespace tarvik::onvif {

// A pan/tilt pair: x the pan, y the tilt (0 on a pan-only mount).
struct PanTilt {
    double x = 0;
    double y = 0;
};

class PtzControl : public QObject {
  public:
    PtzControl(SharedMotor& motors, const OnvifConfig& config);

    bool HasTilt() const { return motors_.HasTilt(); }
    bool HasFieldOfView() const { return config_.HalfFieldSteps().has_value(); }

    PanTilt Position();
    // A position in half-steps (a preset's) in the generic space.
    PanTilt GenericOf(const PerAxis<std::int16_t>& raw);
    bool Moving();
    // The position in half-steps of each axis (presets store these).
    PerAxis<std::int16_t> Raw();

    // The requests; a value left out leaves its axis as it is.
    void AbsoluteMove(std::optional<double> x, std::optional<double> y, double speed);
    void RelativeMove(std::optional<double> x, std::optional<double> y, double speed, bool fov);
    // Ends by itself after `timeout`, unless a new request comes first.
    void ContinuousMove(double x, double y, std::chrono::milliseconds timeout);
    void Stop();
    // How long until a continuous move ends by itself; nothing while none is timed.
    std::optional<std::chrono::milliseconds> ContinuousEndsIn() const;
    void GotoHome(double speed);
    void MoveToRaw(const PerAxis<std::int16_t>& position, double speed);

  private:
    // Runs `action(motor, axisIndex)` for every axis there is, all under one lock.
    template <typename Action>
    void ForEachAxis(Action&& action);

    SharedMotor& motors_;
    const OnvifConfig& config_;
    QTimer continuousEnd_;
};

// The ticks per half-step for a generic speed.
int PaceOf(double speed);
// A generic coordinate of the range [lowest, highest], and back (rounded to a half-step).
double ToGeneric(std::int16_t position, std::int16_t lowest, std::int16_t highest);
std::int16_t FromGeneric(double x, std::int16_t lowest, std::int16_t highest);

}  // namespace tarvik::onvif
