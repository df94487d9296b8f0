#include <algorithm>
#include <cmath>
#include <cstdio>

#include "migration/html_report.h"

namespace lodemig {
namespace {

constexpr double kWidth = 900;
constexpr double kHeight = 280;
constexpr double kLeft = 70;
constexpr double kRight = 20;
constexpr double kTop = 15;
constexpr double kBottom = 35;

// The messages stored by `time`, read off the samples in a straight line
// between the two around it.
double messagesAt(const std::vector<MessageSample>& samples, double time) {
  auto after =
      std::lower_bound(samples.begin(), samples.end(), time,
                       [](const MessageSample& sample, double at) { return sample.time < at; });
  if (after == samples.begin()) {
    return static_cast<double>(after->messages);
  }
  if (after == samples.end()) {
    return static_cast<double>(samples.back().messages);
  }
  const MessageSample& before = *(after - 1);
  const double span = after->time - before.time;
  const double share = span > 0 ? (time - before.time) / span : 1;
  return static_cast<double>(before.messages) +
         share * static_cast<double>(after->messages - before.messages);
}

// The smallest of 1, 2 or 5 times a power of ten that is at least `value`,
// so that the axis reads in round figures.
double roundUp(double value) {
  if (value <= 1) {
    return 1;
  }
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double step : {1.0, 2.0, 5.0, 10.0}) {
    if (step * power >= value) {
      return step * power;
    }
  }
  return 10 * power;
}

std::string figure(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", value);
  return text;
}

std::string duration(double seconds) {
  const long whole = std::lround(seconds);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof(text), "%ld:%02ld", whole / 60, whole % 60);
  }
  return text;
}

std::string label(double x, double y, const char* anchor, const std::string& text) {
  return "<text x=\"" + figure(x) + "\" y=\"" + figure(y) + "\" text-anchor=\"" + anchor + "\">" +
         text + "</text>\n";
}

std::string line(double x1, double y1, double x2, double y2, const char* colour) {
  return "<line x1=\"" + figure(x1) + "\" y1=\"" + figure(y1) + "\" x2=\"" + figure(x2) +
         "\" y2=\"" + figure(y2) + "\" stroke=\"" + colour + "\"/>\n";
}

}  // namespace

std::vector<RatePoint> ratePoints(const std::vector<MessageSample>& samples,
                                  std::size_t maxPoints) {
  std::vector<RatePoint> points;
  if (samples.size() < 2 || maxPoints == 0) {
    return points;
  }
  const double first = samples.front().time;
  const double span = samples.back().time - first;
  if (!(span > 0)) {
    return points;
  }
  // Stretches shorter than a second would show the sampling, not the run.
  const std::size_t count = std::clamp<std::size_t>(static_cast<std::size_t>(span), 1, maxPoints);
  const double width = span / static_cast<double>(count);
  double before = messagesAt(samples, first);
  for (std::size_t i = 1; i <= count; ++i) {
    const double at = first + width * static_cast<double>(i);
    const double now = messagesAt(samples, at);
    points.push_back({width * static_cast<double>(i), std::max(0.0, (now - before) / width)});
    before = now;
  }
  return points;
}

std::string rateChartSvg(const std::vector<RatePoint>& points) {
  if (points.size() < 2) {
    return "<p>The run was too short for a chart of its rate.</p>\n";
  }
  double peak = 0;
  for (const RatePoint& point : points) {
    peak = std::max(peak, point.rate);
  }
  const double top = roundUp(peak);
  const double span = points.back().seconds;
  const double plotWidth = kWidth - kLeft - kRight;
  const double plotHeight = kHeight - kTop - kBottom;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + figure(kWidth) +
                    "\" height=\"" + figure(kHeight) + "\" viewBox=\"0 0 " + figure(kWidth) + " " +
                    figure(kHeight) + "\" role=\"img\" id=\"rate-chart\">\n";
  svg += "<title>Messages per second over the run's time</title>\n";
  for (int step = 0; step <= 4; ++step) {
    const double y = kTop + plotHeight * (1 - step / 4.0);
    svg += line(kLeft, y, kLeft + plotWidth, y, step == 0 ? "#888" : "#e4e4e4");
    svg += label(kLeft - 6, y + 4, "end", figure(top * step / 4));
  }
  svg += line(kLeft, kTop, kLeft, kTop + plotHeight, "#888");
  for (int step = 0; step <= 4; ++step) {
    const double x = kLeft + plotWidth * step / 4.0;
    svg += label(x, kHeight - 12, "middle", duration(span * step / 4));
  }
  // Each stretch's rate is drawn over the whole stretch, from its start.
  std::string path = figure(kLeft) + "," + figure(kTop + plotHeight * (1 - points[0].rate / top));
  double previous = 0;
  for (const RatePoint& point : points) {
    const double y = kTop + plotHeight * (1 - point.rate / top);
    path += " " + figure(kLeft + plotWidth * previous / span) + "," + figure(y);
    path += " " + figure(kLeft + plotWidth * point.seconds / span) + "," + figure(y);
    previous = point.seconds;
  }
  svg +=
      "<polyline fill=\"none\" stroke=\"#2a6ebb\" stroke-width=\"1.5\" points=\"" + path + "\"/>\n";
  svg += label(kLeft + plotWidth, kTop + 12, "end",
               "peak " + figure(peak) + " messages/s over " + duration(span));
  return svg + "</svg>\n";
}

}  // namespace lodemig
