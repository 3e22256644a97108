// Evaluates the shared correlations for the Python tests: each stdin line
// "<function> <args...>" (args as Python float reprs or hex floats) prints the
// result as a hex float.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/properties.hpp"

int main() {
    char name[64];
    while (std::scanf("%63s", name) == 1) {
        double a[5] = {0, 0, 0, 0, 0};
        const int n = std::strcmp(name, "mass_transfer") == 0 ? 5 : std::strcmp(name, "osmotic") == 0 ? 2 : 1;
        for (int i = 0; i < n; ++i) {
            char text[64];
            if (std::scanf("%63s", text) != 1) return 2;
            a[i] = std::strtod(text, nullptr);
        }
        double r;
        if (std::strcmp(name, "density") == 0) r = hydrokit::water_density(a[0]);
        else if (std::strcmp(name, "viscosity") == 0) r = hydrokit::water_viscosity(a[0]);
        else if (std::strcmp(name, "mass_transfer") == 0)
            r = hydrokit::channel_mass_transfer_coeff(a[0], a[1], a[2], a[3], a[4]);
        else if (std::strcmp(name, "osmotic") == 0) r = hydrokit::vant_hoff_osmotic_pressure(a[0], a[1]);
        else return 3;
        std::printf("%a\n", r);
    }
    return 0;
}
