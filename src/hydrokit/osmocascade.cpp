// Two-stage reverse osmosis block: each stage splits its feed by a set
// concentrate fraction and salt rejection; stage 1's concentrate, at stage 1's
// outlet pressure, feeds stage 2, and the two permeates are blended. The split
// is set, so pressure is derived: the pressure the permeate flow would need
// through the stage's membrane, on top of the osmotic difference.
#include <cmath>

#include "common/model.hpp"
#include "slots/osmocascade.hpp"

namespace hydrokit::osmocascade {

// The slots of one stage, counted from its concentrate flow.
namespace Stage {
enum : int32_t {
    concentrate_flow = Out::stage1_concentrate_flow - Out::stage1_concentrate_flow,
    permeate_flow = Out::stage1_permeate_flow - Out::stage1_concentrate_flow,
    permeate_molar_conc = Out::stage1_permeate_molar_conc - Out::stage1_concentrate_flow,
    permeate_conc_reported = Out::stage1_permeate_conc_reported - Out::stage1_concentrate_flow,
    concentrate_molar_conc = Out::stage1_concentrate_molar_conc - Out::stage1_concentrate_flow,
    concentrate_conc_reported = Out::stage1_concentrate_conc_reported - Out::stage1_concentrate_flow,
    outlet_pressure = Out::stage1_outlet_pressure - Out::stage1_concentrate_flow,
    pressure_index = Out::stage1_pressure_index - Out::stage1_concentrate_flow,
    osmotic_pressure_pa = Out::stage1_osmotic_pressure_pa - Out::stage1_concentrate_flow,
    permeability_at_t = Out::stage1_permeability_at_t - Out::stage1_concentrate_flow,
    required_pressure_pa = Out::stage1_required_pressure_pa - Out::stage1_concentrate_flow,
    width = Out::stage2_concentrate_flow - Out::stage1_concentrate_flow,
};
}
static_assert(Out::stage2_required_pressure_pa - Out::stage2_concentrate_flow == Stage::required_pressure_pa);
static_assert(Stage::width == Stage::required_pressure_pa + 1 && Out::width == 34);

// The block keeps its own rounded gas constant, J/(mol·K).
constexpr double gas_constant = 8.314;
constexpr double default_permeability = 5.5e-13;  // m/(s·Pa)

struct osmocascade_stage_result {
    double concentrate_flow;        // m³/s
    double permeate_flow;           // m³/s
    double permeate_conc;           // mol/L
    double concentrate_conc;        // mol/L
    double outlet_pressure;         // caller's pressure unit
    double pressure_index;
    double osmotic_pressure;        // Pa
    double permeability_at_t;       // m/(s·Pa)
    double required_pressure;       // Pa
};

inline bool positive_finite(double x) { return is_finite(x) && x > 0; }

// a: feed flow; b: inlet pressure; c: feed concentration (mol/L); t: K;
// a0: permeability before temperature correction; v × w: membrane area;
// drop: pressure lost across the stage; i: dissociation factor.
void osmocascade_stage(double a, double b, double fraction, double rejection, double c, double t,
                       double a0, double v, double drop, double w, double i,
                       osmocascade_stage_result* r) {
    const double f = (!is_finite(fraction) || fraction < 1e-9) ? 1e-9 : min(0.999999999, fraction);
    const double s = (!is_finite(rejection) || rejection < 0) ? 0.0 : min(0.999999999, rejection);
    if (!positive_finite(a)) a = 0.0;
    if (!positive_finite(t)) t = 298.15;
    if (!positive_finite(a0)) a0 = default_permeability;
    if (!positive_finite(v)) v = 1.0;
    if (!positive_finite(w)) w = 1.0;
    if (!is_finite(c) || c < 0) c = 0.0;

    const double cp = (1.0 - s) * c;
    const double qc = a * f;
    const double qp = a - qc;

    // Salt balance; with no concentrate flow the feed concentration stands.
    double cc = qc > 0 ? (c * a - qp * cp) / qc : c;
    if (!is_finite(cc) || cc < 0) cc = 0.0;

    // Osmotic difference concentrate − permeate, mol/L → mol/m³; not floored.
    double osmotic = ((cc - cp) * 1000.0) * ((i * gas_constant) * t);
    if (!is_finite(osmotic)) osmotic = 0.0;

    // Permeability corrected to the feed temperature.
    double at = std::exp(6.433 - 1885.0 / t) * a0;
    if (!positive_finite(at)) at = a0;

    double required = qp / ((w * v) * at) + osmotic;
    if (!is_finite(required)) required = 0.0;

    const double outlet = b - drop;

    double index = (((outlet + b) * 0.5) * 100.0) / (f * 0.8 + 3.6);
    if (!is_finite(index)) index = 0.0;

    *r = {qc, qp, cp, cc, outlet, index, osmotic, at, required};
}

// One stage's eleven output slots, concentrations also in the caller's unit.
inline void write_stage(const osmocascade_stage_result& r, double report, double* out) {
    out[Stage::concentrate_flow] = r.concentrate_flow;
    out[Stage::permeate_flow] = r.permeate_flow;
    out[Stage::permeate_molar_conc] = r.permeate_conc;
    out[Stage::permeate_conc_reported] = r.permeate_conc * report;
    out[Stage::concentrate_molar_conc] = r.concentrate_conc;
    out[Stage::concentrate_conc_reported] = r.concentrate_conc * report;
    out[Stage::outlet_pressure] = r.outlet_pressure;
    out[Stage::pressure_index] = r.pressure_index;
    out[Stage::osmotic_pressure_pa] = r.osmotic_pressure;
    out[Stage::permeability_at_t] = r.permeability_at_t;
    out[Stage::required_pressure_pa] = r.required_pressure;
}

void osmocascade_core(const double* u, const double* p, double* y) {
    const double to_molar = positive_finite(p[Par::feed_to_molar_factor]) ? p[Par::feed_to_molar_factor] : 0.018963;
    const double report =
        positive_finite(p[Par::molar_to_report_factor]) ? p[Par::molar_to_report_factor] : 52.68292682926829;
    const double flow_scale = positive_finite(p[Par::flow_scale]) ? p[Par::flow_scale] : 1000.0;
    const double i = positive_finite(p[Par::vant_hoff_factor]) ? p[Par::vant_hoff_factor] : 2.0;

    const double q = positive_finite(u[In::feed_flow]) ? u[In::feed_flow] : 0.0;
    double salinity = u[In::feed_salinity];
    if (!is_finite(salinity) || salinity < 0) salinity = 0.0;

    // Temperatures below 200 are read as °C.
    double t = u[In::temperature];
    if (t < 200) t = t + 273.15;
    if (!positive_finite(t)) t = 298.15;

    const double cf = salinity * to_molar;

    osmocascade_stage_result s1, s2;
    osmocascade_stage(q, u[In::stage1_feed_pressure], u[In::stage1_concentrate_fraction],
                      u[In::stage1_rejection], cf, t, u[In::water_permeability],
                      u[In::element_area_m2], u[In::stage_pressure_drop], u[In::element_count], i, &s1);
    osmocascade_stage(s1.concentrate_flow, s1.outlet_pressure, u[In::stage2_concentrate_fraction],
                      u[In::stage2_rejection], s1.concentrate_conc, t, u[In::water_permeability],
                      u[In::element_area_m2], u[In::stage_pressure_drop], u[In::element_count], i, &s2);

    const double qp_total = s2.permeate_flow + s1.permeate_flow;
    const double blend =
        qp_total > 0 ? (s2.permeate_conc * s2.permeate_flow + s1.permeate_conc * s1.permeate_flow) / qp_total : 0.0;
    const double index_total = (s2.pressure_index + s1.pressure_index) * 0.001;
    const double recovery = q > 0 ? qp_total / q : 0.0;

    y[Out::feed_flow_used] = q;
    y[Out::feed_molar_conc] = cf;
    y[Out::feed_conc_reported] = cf * report;
    write_stage(s1, report, y + Out::stage1_concentrate_flow);
    write_stage(s2, report, y + Out::stage2_concentrate_flow);
    y[Out::total_permeate_flow] = qp_total;
    y[Out::total_permeate_flow_scaled] = flow_scale * qp_total;
    y[Out::blend_permeate_molar_conc] = blend;
    y[Out::blend_permeate_conc_reported] = blend * report;
    y[Out::pressure_index_total] = index_total;
    y[Out::overall_recovery] = recovery;
    y[Out::final_concentrate_flow] = s2.concentrate_flow;
    y[Out::final_concentrate_conc_reported] = s2.concentrate_conc * report;
    y[Out::final_concentrate_pressure] = s2.outlet_pressure;
}

}  // namespace hydrokit::osmocascade

HYDROKIT_MODEL(osmocascade)
