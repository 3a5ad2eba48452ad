#pragma once
namespace quill {
struct BlackScholesMetrics { double npv, delta, gamma, vega, theta, rho_r, rho_q; };
struct BlackScholes {};
}
