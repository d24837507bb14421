#include "chart.h"

#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace logtool {

long long time_bin::total() const {
    long long n = 0;
    for (long long e : events) n += e;
    return n;
}

namespace {

constexpr double page_w = 1200, page_h = 640;
constexpr double left = 90, right = 40, top = 90, bottom = 70;

struct rgb {
    double r, g, b;
};
// One colour per action, in log_actions' order (add, remove, set, clear).
constexpr std::array<rgb, action_count> action_colours = {rgb{0.20, 0.60, 0.25}, rgb{0.85, 0.30, 0.25},
                                                          rgb{0.20, 0.45, 0.75}, rgb{0.95, 0.65, 0.15}};

// 1, 2 or 5 times a power of ten, at least `x`.
double nice_step(double x) {
    if (!(x > 0)) return 1;
    const double p = std::pow(10.0, std::floor(std::log10(x)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= x * (1 - 1e-9)) return m * p;
    return 10 * p;
}

std::string tick_text(double v, double step) {
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    char buf[64];
    // Rounds away the float noise of the tick loop, and with it "-0".
    const double scale = std::pow(10.0, decimals);
    std::snprintf(buf, sizeof buf, "%.*f", decimals, std::round(v * scale) / scale + 0.0);
    return buf;
}

struct painter {
    cairo_t* cr;

    void colour(double r, double g, double b, double a = 1) const { cairo_set_source_rgba(cr, r, g, b, a); }
    void font(double size, bool bold = false) const {
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                               bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, size);
    }
    double text_width(const std::string& s) const {
        cairo_text_extents_t e;
        cairo_text_extents(cr, s.c_str(), &e);
        return e.x_advance;
    }
    // Text at (x, y) on its baseline; `align` 0 left, 0.5 centred, 1 right.
    void text(const std::string& s, double x, double y, double align = 0) const {
        cairo_move_to(cr, x - align * text_width(s), y);
        cairo_show_text(cr, s.c_str());
    }
    void rect(double x, double y, double w, double h) const {
        cairo_rectangle(cr, x, y, w, h);
        cairo_fill(cr);
    }
    void line(double x0, double y0, double x1, double y1) const {
        cairo_move_to(cr, x0, y0);
        cairo_line_to(cr, x1, y1);
        cairo_stroke(cr);
    }
};

void draw(cairo_t* cr, const chart_data& d) {
    const painter p{cr};
    p.colour(1, 1, 1);
    p.rect(0, 0, page_w, page_h);

    const double plot_w = page_w - left - right, plot_h = page_h - top - bottom;
    const double t0 = static_cast<double>(d.origin) / 1e9;
    const double bin_s = static_cast<double>(d.width) / 1e9;
    const double t1 = t0 + bin_s * static_cast<double>(std::max<std::size_t>(d.bins.size(), 1));
    long long most = 0;
    std::size_t busiest = 0;
    for (std::size_t i = 0; i < d.bins.size(); ++i) {
        if (d.bins[i].total() > most) {
            most = d.bins[i].total();
            busiest = i;
        }
    }
    const double y_step = nice_step(std::max(1.0, static_cast<double>(most) / 5));
    const double y_max = std::max(y_step, std::ceil(static_cast<double>(most) * 1.12 / y_step) * y_step);
    const auto px = [&](double t) { return left + (t - t0) / (t1 - t0) * plot_w; };
    const auto py = [&](double v) { return top + plot_h - v / y_max * plot_h; };

    // Title and legend.
    p.colour(0.1, 0.1, 0.1);
    p.font(20, true);
    p.text(d.title, left, 34);
    p.font(13);
    double lx = left;
    for (std::size_t a = 0; a < action_count; ++a) {
        const rgb& c = action_colours[a];
        p.colour(c.r, c.g, c.b);
        p.rect(lx, 52, 14, 14);
        p.colour(0.15, 0.15, 0.15);
        const std::string name = action_name(log_actions[a]);
        p.text(name, lx + 20, 64);
        lx += 20 + p.text_width(name) + 28;
    }

    // Grid and y ticks.
    cairo_set_line_width(cr, 1);
    p.font(12);
    for (double v = 0; v <= y_max + y_step / 2; v += y_step) {
        p.colour(0.88, 0.88, 0.88);
        p.line(left, std::round(py(v)) + 0.5, left + plot_w, std::round(py(v)) + 0.5);
        p.colour(0.25, 0.25, 0.25);
        p.text(tick_text(v, y_step), left - 8, py(v) + 4, 1);
    }
    // x ticks.
    const double x_step = nice_step((t1 - t0) / 10);
    for (double t = std::ceil(t0 / x_step - 1e-9) * x_step; t <= t1 + x_step * 1e-6; t += x_step) {
        const double x = std::round(px(t)) + 0.5;
        p.colour(0.25, 0.25, 0.25);
        p.line(x, top + plot_h, x, top + plot_h + 5);
        p.text(tick_text(t, x_step), x, top + plot_h + 20, 0.5);
    }

    // The longest gaps, shaded and labelled.
    cairo_save(cr);
    cairo_rectangle(cr, left, top, plot_w, plot_h);
    cairo_clip(cr);
    p.font(12);
    for (const batch_gap& g : d.gaps) {
        const double a = px(static_cast<double>(g.from) / 1e9);
        const double b = px(static_cast<double>(g.from + g.length) / 1e9);
        p.colour(0.55, 0.55, 0.6, 0.18);
        p.rect(a, top, std::max(1.0, b - a), plot_h);
        p.colour(0.3, 0.3, 0.4);
        char label[96];
        std::snprintf(label, sizeof label, "gap %.3f s (batches %lld-%lld)",
                      static_cast<double>(g.length) / 1e9, g.index - 1, g.index);
        const double mid = (a + b) / 2;
        const double x =
            std::clamp(mid - p.text_width(label) / 2, left + 4, left + plot_w - p.text_width(label) - 4);
        p.text(label, x, top + 16 + 16 * static_cast<double>(&g - d.gaps.data()));
    }
    cairo_restore(cr);

    // Stacked bars.
    for (std::size_t i = 0; i < d.bins.size(); ++i) {
        const double a = px(t0 + bin_s * static_cast<double>(i));
        const double b = px(t0 + bin_s * static_cast<double>(i + 1));
        const double w = b - a > 4 ? b - a - 1 : b - a;
        double v = 0;
        for (std::size_t k = 0; k < action_count; ++k) {
            const long long n = d.bins[i].events[k];
            if (n == 0) continue;
            const rgb& c = action_colours[k];
            p.colour(c.r, c.g, c.b);
            p.rect(a, py(v + static_cast<double>(n)), w, py(v) - py(v + static_cast<double>(n)));
            v += static_cast<double>(n);
        }
    }

    // The busiest bin: outlined, with its count and time above it.
    if (most > 0) {
        const double a = px(t0 + bin_s * static_cast<double>(busiest));
        const double b = px(t0 + bin_s * static_cast<double>(busiest + 1));
        p.colour(0.75, 0.1, 0.1);
        cairo_set_line_width(cr, 2);
        cairo_rectangle(cr, a, py(static_cast<double>(most)), b - a, py(0) - py(static_cast<double>(most)));
        cairo_stroke(cr);
        char label[128];
        const double from = t0 + bin_s * static_cast<double>(busiest);
        std::snprintf(label, sizeof label, "busiest: %lld events in %s-%s s", most,
                      tick_text(from, nice_step(bin_s)).c_str(),
                      tick_text(from + bin_s, nice_step(bin_s)).c_str());
        p.font(13, true);
        const double tw = p.text_width(label);
        const double x = std::clamp((a + b) / 2 - tw / 2, left, left + plot_w - tw);
        p.text(label, x, py(static_cast<double>(most)) - 8);
    }

    // Axes and their labels.
    p.colour(0.2, 0.2, 0.2);
    cairo_set_line_width(cr, 1.5);
    p.line(left, top, left, top + plot_h);
    p.line(left, top + plot_h, left + plot_w, top + plot_h);
    p.font(14);
    char xlabel[96];
    std::snprintf(xlabel, sizeof xlabel, "batch time (s), bins of %s s",
                  tick_text(bin_s, nice_step(bin_s)).c_str());
    p.text(xlabel, left + plot_w / 2, page_h - 22, 0.5);
    cairo_save(cr);
    cairo_translate(cr, 26, top + plot_h / 2);
    cairo_rotate(cr, -M_PI / 2);
    p.text("events per bin", 0, 0, 0.5);
    cairo_restore(cr);
}

}  // namespace

bool draw_chart(const chart_data& data, chart_format format, const std::string& path, std::string& error) {
    const std::string temp = path + ".partial";
    cairo_surface_t* surface = format == chart_format::svg
                                   ? cairo_svg_surface_create(temp.c_str(), page_w, page_h)
                                   : cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(page_w),
                                                                static_cast<int>(page_h));
    cairo_t* cr = cairo_create(surface);
    draw(cr, data);
    cairo_destroy(cr);
    cairo_status_t status = cairo_surface_status(surface);
    if (status == CAIRO_STATUS_SUCCESS && format == chart_format::png)
        status = cairo_surface_write_to_png(surface, temp.c_str());
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        std::remove(temp.c_str());
        error = cairo_status_to_string(status);
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        error = "can't rename the chart into place";
        return false;
    }
    return true;
}

}  // namespace logtool
