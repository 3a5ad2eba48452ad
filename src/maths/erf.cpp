// The error-function kernels: piecewise rational approximations of erf/erfc
// and of the inverse error function. Every polynomial runs from the degree-0
// coefficient upward and is evaluated by Horner's rule; the evaluation order
// below is part of the result (the pricer's normal distribution depends on
// these exact values), so keep each expression as written.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "maths/functions.hpp"

namespace quill {
namespace {

// c[0] + t*(c[1] + t*(... + t*c[N-1])), one rounding per operation. The length
// is a compile-time constant, so the loop unrolls into straight-line code.
template <std::size_t N>
inline double horner(const std::array<double, N>& c, double t) noexcept {
    double acc = c[N - 1];
    for (std::size_t i = N - 1; i-- > 0;) acc = acc * t + c[i];
    return acc;
}

template <std::size_t N, std::size_t D>
inline double ratio(const std::array<double, N>& n, const std::array<double, D>& d, double t) noexcept {
    return horner(n, t) / horner(d, t);
}

// ------------------------------------------------------------ erf, 0 <= z < 0.5

// N(z)*z/D(z) + 1.125*z; N(0) + 1.125 is 2/sqrt(pi).
constexpr std::array<double, 8> erf_small_n{
    0.00337916709551257388990745, -0.00073695653048167948530905, -0.374732337392919607868241,
    0.0817442448733587196071743,  -0.0421089319936548595203468,  0.0070165709512095756344528,
    -0.00495091255982435110337458, 0.000871646599037922480317225};
constexpr std::array<double, 8> erf_small_d{
    1.0, -0.218088218087924645390535, 0.412542972725442099083918, -0.0841891147873106755410271,
    0.0655338856400241519690695, -0.0120019604454941768171266, 0.00408165558926174048329689,
    -0.000615900721557769691924509};
constexpr double erf_small_c = 0.0033791670955125737;
constexpr double erf_small_y = 1.125;

// ------------------------------------------------------------ erfc, 0.5 <= z < 110

// On [a, next a): z*exp(z*z)*erfc(z) ~ b + N(t)/D(t) with t = z - a.
//
// Every interval's polynomials are padded with zero coefficients of higher
// degree to one common length. That changes no bit: Horner's rule starts
// from +0, and +0*t + 0 stays +0 for the finite t >= 0 met here, until the
// first real coefficient c gives +0*t + c = c exactly. The common length lets
// every interval run the same unrolled code, and the interval is found by
// counting the bounds at or below z rather than by a search whose branches
// depend on the data.
constexpr std::size_t erfc_n_len = 7;
constexpr std::size_t erfc_d_len = 8;

struct ErfcInterval {
    double a;
    double b;
    std::array<double, erfc_n_len> n;
    std::array<double, erfc_d_len> d;
};

template <std::size_t L, std::size_t N>
constexpr std::array<double, L> padded(const std::array<double, N>& c) {
    static_assert(N <= L);
    std::array<double, L> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = c[i];
    return out;
}

template <std::size_t N, std::size_t D>
constexpr ErfcInterval interval(double a, double b, const std::array<double, N>& n, const std::array<double, D>& d) {
    return {a, b, padded<erfc_n_len>(n), padded<erfc_d_len>(d)};
}

constexpr std::array<double, 6> erfc1_n{-0.0361790390718262471360258, 0.292251883444882683221149,
                                         0.281447041797604512774415,  0.125610208862766947294894,
                                         0.0274135028268930549240776, 0.00250839672168065762786937};
constexpr std::array<double, 6> erfc1_d{1.0,
                                         1.8545005897903486499845,
                                         1.43575803037831418074962,
                                         0.582827658753036572454135,
                                         0.124810476932949746447682,
                                         0.0113724176546353285778481};

constexpr std::array<double, 7> erfc2_n{-0.0397876892611136856954425, 0.153165212467878293257683,
                                         0.191260295600936245503129,  0.10276327061989304213645,
                                         0.029637090615738836726027,  0.0046093486780275489468812,
                                         0.000307607820348680180548455};
constexpr std::array<double, 7> erfc2_d{1.0,
                                         1.95520072987627704987886,
                                         1.64762317199384860109595,
                                         0.768238607022126250082483,
                                         0.209793185936509782784315,
                                         0.0319569316899913392596356,
                                         0.00213363160895785378615014};

constexpr std::array<double, 7> erfc3_n{-0.0300838560557949717328341, 0.0538578829844454508530552,
                                         0.0726211541651914182692959, 0.0367628469888049348429018,
                                         0.00964629015572527529605267, 0.00133453480075291076745275,
                                         0.778087599782504251917881e-4};
constexpr std::array<double, 8> erfc3_d{1.0,
                                         1.75967098147167528287343,
                                         1.32883571437961120556307,
                                         0.552528596508757581287907,
                                         0.133793056941332861912279,
                                         0.0179509645176280768640766,
                                         0.00104712440019937356634038,
                                         -0.106640381820357337177643e-7};

constexpr std::array<double, 7> erfc4_n{-0.0117907570137227847827732, 0.014262132090538809896674,
                                         0.0202234435902960820020765, 0.00930668299990432009042239,
                                         0.00213357802422065994322516, 0.00025022987386460102395382,
                                         0.120534912219588189822126e-4};
constexpr std::array<double, 7> erfc4_d{1.0,
                                         1.50376225203620482047419,
                                         0.965397786204462896346934,
                                         0.339265230476796681555511,
                                         0.0689740649541569716897427,
                                         0.00771060262491768307365526,
                                         0.000371421101531069302990367};

constexpr std::array<double, 7> erfc5_n{-0.00546954795538729307482955, 0.00404190278731707110245394,
                                         0.0054963369553161170521356,  0.00212616472603945399437862,
                                         0.000394984014495083900689956, 0.365565477064442377259271e-4,
                                         0.135485897109932323253786e-5};
constexpr std::array<double, 8> erfc5_d{1.0,
                                         1.21019697773630784832251,
                                         0.620914668221143886601045,
                                         0.173038430661142762569515,
                                         0.0276550813773432047594539,
                                         0.00240625974424309709745382,
                                         0.891811817251336577241006e-4,
                                         -0.465528836283382684461025e-11};

constexpr std::array<double, 6> erfc6_n{-0.00270722535905778347999196, 0.0013187563425029400461378,
                                         0.00119925933261002333923989,  0.00027849619811344664248235,
                                         0.267822988218331849989363e-4, 0.923043672315028197865066e-6};
constexpr std::array<double, 7> erfc6_d{1.0,
                                         0.814632808543141591118279,
                                         0.268901665856299542168425,
                                         0.0449877216103041118694989,
                                         0.00381759663320248459168994,
                                         0.000131571897888596914350697,
                                         0.404815359675764138445257e-11};

constexpr std::array<double, 6> erfc7_n{-0.00109946720691742196814323, 0.000406425442750422675169153,
                                         0.000274499489416900707787024, 0.465293770646659383436343e-4,
                                         0.320955425395767463401993e-5, 0.778286018145020892261936e-7};
constexpr std::array<double, 6> erfc7_d{1.0,
                                         0.588173710611846046373373,
                                         0.139363331289409746077541,
                                         0.0166329340417083678763028,
                                         0.00100023921310234908642639,
                                         0.24254837521587225125068e-4};

constexpr std::array<double, 5> erfc8_n{-0.00056907993601094962855594, 0.000169498540373762264416984,
                                         0.518472354581100890120501e-4, 0.382819312231928859704678e-5,
                                         0.824989931281894431781794e-7};
constexpr std::array<double, 6> erfc8_d{1.0,
                                         0.339637250051139347430323,
                                         0.043472647870310663055044,
                                         0.00248549335224637114641629,
                                         0.535633305337152900549536e-4,
                                         -0.117490944405459578783846e-12};

constexpr std::array<double, 5> erfc9_n{-0.000241313599483991337479091, 0.574224975202501512365975e-4,
                                         0.115998962927383778460557e-4, 0.581762134402593739370875e-6,
                                         0.853971555085673614607418e-8};
constexpr std::array<double, 5> erfc9_d{1.0, 0.233044138299687841018015, 0.0204186940546440312625597,
                                         0.000797185647564398289151125, 0.117019281670172327758019e-4};

constexpr std::array<double, 5> erfc10_n{-0.000146674699277760365803642, 0.162666552112280519955647e-4,
                                          0.269116248509165239294897e-5, 0.979584479468091935086972e-7,
                                          0.101994647625723465722285e-8};
constexpr std::array<double, 5> erfc10_d{1.0, 0.165907812944847226546036, 0.0103361716191505884359634,
                                          0.000286593026373868366935721, 0.298401570840900340874568e-5};

constexpr std::array<double, 5> erfc11_n{-0.583905797629771786720406e-4, 0.412510325105496173512992e-5,
                                          0.431790922420250949096906e-6, 0.993365155590013193345569e-8,
                                          0.653480510020104699270084e-10};
constexpr std::array<double, 5> erfc11_d{1.0, 0.105077086072039915406159, 0.00414278428675475620830226,
                                          0.726338754644523769144108e-4, 0.477818471047398785369849e-6};

constexpr std::array<double, 4> erfc12_n{-0.196457797609229579459841e-4, 0.157243887666800692441195e-5,
                                          0.543902511192700878690335e-7, 0.317472492369117710852685e-9};
constexpr std::array<double, 5> erfc12_d{1.0, 0.052803989240957632204885, 0.000926876069151753290378112,
                                          0.541011723226630257077328e-5, 0.535093845803642394908747e-15};

constexpr std::array<double, 4> erfc13_n{-0.789224703978722689089794e-5, 0.622088451660986955124162e-6,
                                          0.145728445676882396797184e-7, 0.603715505542715364529243e-10};
constexpr std::array<double, 4> erfc13_d{1.0, 0.0375328846356293715248719, 0.000467919535974625308126054,
                                          0.193847039275845656900547e-5};

// From each piece start in turn; the last interval ends at erfc_zero_from.
constexpr std::array<ErfcInterval, 13> erfc_intervals{{
    interval(erf_piece_starts[0], 0.3440242112, erfc1_n, erfc1_d),
    interval(erf_piece_starts[1], 0.419990927, erfc2_n, erfc2_d),
    interval(erf_piece_starts[2], 0.4898625016, erfc3_n, erfc3_d),
    interval(erf_piece_starts[3], 0.5317370892, erfc4_n, erfc4_d),
    interval(erf_piece_starts[4], 0.5489973426, erfc5_n, erfc5_d),
    interval(erf_piece_starts[5], 0.5571740866, erfc6_n, erfc6_d),
    interval(erf_piece_starts[6], 0.5609807968, erfc7_n, erfc7_d),
    interval(erf_piece_starts[7], 0.5626493692, erfc8_n, erfc8_d),
    interval(erf_piece_starts[8], 0.5634598136, erfc9_n, erfc9_d),
    interval(erf_piece_starts[9], 0.5638477802, erfc10_n, erfc10_d),
    interval(erf_piece_starts[10], 0.5640528202, erfc11_n, erfc11_d),
    interval(erf_piece_starts[11], 0.5641309023, erfc12_n, erfc12_d),
    interval(erf_piece_starts[12], 0.5641584396, erfc13_n, erfc13_d),
}};

static_assert(erfc_intervals.size() == erf_piece_starts.size());

// The erfc interval of a z in [0.5, 110).
inline std::size_t erfc_piece(double z) noexcept { return erf_piece_table[static_cast<std::size_t>(z * 4.0)] - 1u; }

// erfc(z) for 0.5 <= z < 110.
double erfc_tail(double z) noexcept {
    const ErfcInterval& iv = erfc_intervals[erfc_piece(z)];
    const double t = z - iv.a;
    const double r = horner(iv.n, t) / horner(iv.d, t);
    const double g = std::exp(-z * z) / z;
    return g * r + iv.b * g;
}

// ------------------------------------------------------------ inverse

// p <= 0.5: (N(p)/D(p))*g + g*Y with g = (p + 10)*p.
constexpr std::array<double, 8> inv1_n{-0.000508781949658280665617, -0.00836874819741736770379,
                                        0.0334806625409744615033,    -0.0126926147662974029034,
                                        -0.0365637971411762664006,   0.0219878681111168899165,
                                        0.00822687874676915743155,   -0.00538772965071242932965};
constexpr std::array<double, 10> inv1_d{1.0,
                                         -0.970005043303290640362,
                                         -1.56574558234175846809,
                                         1.56221558398423026363,
                                         0.662328840472002992063,
                                         -0.71228902341542847553,
                                         -0.0527396382340099713954,
                                         0.0795283687341571680018,
                                         -0.00233393759374190016776,
                                         0.000886216390456424707504};
constexpr double inv1_y = 0.08913147449493408;

// q >= 0.25: sqrt(-2 ln q) / (N(t)/D(t) + Y) with t = q - 0.25.
constexpr std::array<double, 9> inv2_n{-0.202433508355938759655, 0.105264680699391713268, 8.37050328343119927838,
                                        17.6447298408374015486,   -18.8510648058714251895, -44.6382324441786960818,
                                        17.445385985570866523,    21.1294655448340526258,  -3.67192254707729348546};
constexpr std::array<double, 9> inv2_d{1.0,
                                        6.24264124854247537712,
                                        3.9713437953343869095,
                                        -28.6608180499800029974,
                                        -20.1432634680485188801,
                                        48.5609213108739935468,
                                        10.8268667355460159008,
                                        -22.6436933413139721736,
                                        1.72114765761200282724};
constexpr double inv2_y = 2.249481201171875;

// q < 0.25, by x = sqrt(-ln q): (N(t)/D(t))*x + Y*x with t = x - offset.
constexpr std::array<double, 11> inv3_n{-0.131102781679951906451,    -0.163794047193317060787,
                                         0.117030156341995252019,     0.387079738972604337464,
                                         0.337785538912035898924,     0.142869534408157156766,
                                         0.0290157910005329060432,    0.00214558995388805277169,
                                         -0.679465575181126350155e-6, 0.285225331782217055858e-7,
                                         -0.681149956853776992068e-9};
constexpr std::array<double, 8> inv3_d{1.0,
                                        3.46625407242567245975,
                                        5.38168345707006855425,
                                        4.77846592945843778382,
                                        2.59301921623620271374,
                                        0.848854343457902036425,
                                        0.152264338295331783612,
                                        0.01105924229346489121};
constexpr double inv3_y = 0.807220458984375;

constexpr std::array<double, 9> inv4_n{-0.0350353787183177984712,   -0.00222426529213447927281,
                                        0.0185573306514231072324,    0.00950804701325919603619,
                                        0.00187123492819559223345,   0.000157544617424960554631,
                                        0.460469890584317994083e-5,  -0.230404776911882601748e-9,
                                        0.266339227425782031962e-11};
constexpr std::array<double, 7> inv4_d{1.0,
                                        1.3653349817554063097,
                                        0.762059164553623404043,
                                        0.220091105764131249824,
                                        0.0341589143670947727934,
                                        0.00263861676657015992959,
                                        0.764675292302794483503e-4};
constexpr double inv4_y = 0.9399557113647461;

constexpr std::array<double, 9> inv5_n{-0.0167431005076633737133,    -0.00112951438745580278863,
                                        0.00105628862152492910091,    0.000209386317487588078668,
                                        0.149624783758342370182e-4,   0.449696789927706453732e-6,
                                        0.462596163522878599135e-8,   -0.281128735628831791805e-13,
                                        0.99055709973310326855e-16};
constexpr std::array<double, 7> inv5_d{1.0,
                                        0.591429344886417493481,
                                        0.138151865749083321638,
                                        0.0160746087093676504695,
                                        0.000964011807005165528527,
                                        0.275335474764726041141e-4,
                                        0.282243172016108031869e-6};
constexpr double inv5_y = 0.9836282730102539;

constexpr std::array<double, 8> inv6_n{-0.0024978212791898131227,  -0.779190719229053954292e-5,
                                        0.254723037413027451751e-4, 0.162397777342510920873e-5,
                                        0.396341011304801168516e-7, 0.411632831190944208473e-9,
                                        0.145596286718675035587e-11, -0.116765012397184275695e-17};
constexpr std::array<double, 7> inv6_d{1.0,
                                        0.207123112214422517181,
                                        0.0169410838120975906478,
                                        0.000690538265622684595676,
                                        0.145007359818232637924e-4,
                                        0.144437756628144157666e-6,
                                        0.509761276599778486139e-9};
constexpr double inv6_y = 0.9971456527709961;

constexpr std::array<double, 8> inv7_n{-0.000539042911019078575891, -0.28398759004727721098e-6,
                                        0.899465114892291446442e-6,  0.229345859265920864296e-7,
                                        0.225561444863500149219e-9,  0.947846627503022684216e-12,
                                        0.135880130108924861008e-14, -0.348890393399948882918e-21};
constexpr std::array<double, 7> inv7_d{1.0,
                                        0.0845746234001899436914,
                                        0.00282092984726264681981,
                                        0.468292921940894236786e-4,
                                        0.399968812193862100054e-6,
                                        0.161809290887904476097e-8,
                                        0.231558608310259605225e-11};
constexpr double inv7_y = 0.9994134902954102;

}  // namespace

namespace {

// erf (or erfc) of a z >= 0.
inline double erf_nonnegative(double z, bool complement) noexcept {
    double r;
    if (z < erf_piece_starts[0]) {
        if (z < 1e-10) {
            r = erf_small_c * z + erf_small_y * z;
        } else {
            r = horner(erf_small_n, z) * z / horner(erf_small_d, z) + erf_small_y * z;
        }
        return complement ? 1.0 - r : r;
    }
    r = z < erfc_zero_from ? erfc_tail(z) : 0.0;
    return complement ? r : 1.0 - r;
}

}  // namespace

double erf_kernel(double z, bool complement) noexcept {
    if (!complement) {
        // erf is odd: -erf(-z) for z < 0. The value on |z| is positive for
        // every z != 0, so taking the sign of z negates it exactly, without a
        // branch on the sign, which random arguments would mispredict.
        return std::copysign(erf_nonnegative(std::fabs(z), false), z);
    }
    if (z < 0.0) {
        if (z < -0.5) return 2.0 - erf_nonnegative(-z, true);
        return 1.0 + erf_nonnegative(-z, false);
    }
    return erf_nonnegative(z, complement);
}

namespace {

// Two lanes of doubles. Each lane's multiply, add and divide is the IEEE
// operation the scalar code performs (no fused multiply-adds are formed), so
// a lane carries exactly the scalar result.
using Pair = double __attribute__((vector_size(16)));

template <std::size_t N>
inline Pair horner_pair(const std::array<double, N>& c, Pair t) noexcept {
    Pair acc = {c[N - 1], c[N - 1]};
    for (std::size_t i = N - 1; i-- > 0;) acc = acc * t + Pair{c[i], c[i]};
    return acc;
}

// Horner's rule with each lane's own coefficients.
template <std::size_t N>
inline Pair horner_rows(const std::array<double, N>& c0, const std::array<double, N>& c1, Pair t) noexcept {
    Pair acc = {c0[N - 1], c1[N - 1]};
    for (std::size_t i = N - 1; i-- > 0;) acc = acc * t + Pair{c0[i], c1[i]};
    return acc;
}

// erf of two values with 1e-10 <= |x| < 0.5, as erf() gives them.
inline Pair erf_small_pair(Pair z) noexcept {
    return horner_pair(erf_small_n, z) * z / horner_pair(erf_small_d, z) + Pair{erf_small_y, erf_small_y} * z;
}

// erf of two values with 0.5 <= |x| < 110, as erf() gives them.
inline Pair erf_tail_pair(double z0, double z1) noexcept {
    const Pair z = {z0, z1};
    const ErfcInterval& i0 = erfc_intervals[erfc_piece(z0)];
    const ErfcInterval& i1 = erfc_intervals[erfc_piece(z1)];
    const Pair t = z - Pair{i0.a, i1.a};
    const Pair r = horner_rows(i0.n, i1.n, t) / horner_rows(i0.d, i1.d, t);
    const Pair g = Pair{std::exp(-z0 * z0), std::exp(-z1 * z1)} / z;
    return Pair{1.0, 1.0} - (g * r + Pair{i0.b, i1.b} * g);
}

}  // namespace

namespace {

constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;
constexpr std::uint64_t small_from = std::bit_cast<std::uint64_t>(1e-10);
constexpr std::uint64_t tail_from = std::bit_cast<std::uint64_t>(erf_piece_starts[0]);
constexpr std::uint64_t small_span = tail_from - small_from;
constexpr std::uint64_t tail_span = std::bit_cast<std::uint64_t>(erfc_zero_from) - tail_from;

}  // namespace

void erf_many(std::size_t n, const double* x, double* out) noexcept {
    // The values are sorted, without branching on them, into the two pieces of
    // the kernel and the rest (NaN, infinities, zeros, the tiniest and the
    // largest); each piece then runs two values at a time.
    constexpr std::size_t block = 128;
    std::size_t small[block], tail[block], other[block];
    for (std::size_t base = 0; base < n; base += block) {
        const std::size_t count = std::min(block, n - base);
        std::size_t ns = 0, nt = 0, no = 0;
        for (std::size_t i = 0; i < count; ++i) {
            // Non-negative doubles order as their bit patterns do (NaN above
            // infinity), so each range is one unsigned comparison of |x|'s
            // bits, which compiles to flags rather than a branch.
            const std::uint64_t z = std::bit_cast<std::uint64_t>(x[base + i]) & ~sign_bit;
            const bool in_small = z - small_from < small_span;
            const bool in_tail = z - tail_from < tail_span;
            small[ns] = tail[nt] = other[no] = base + i;
            ns += in_small;
            nt += in_tail;
            no += !(in_small | in_tail);
        }
        std::size_t j = 0;
        for (; j + 1 < ns; j += 2) {
            const double x0 = x[small[j]], x1 = x[small[j + 1]];
            const Pair r = erf_small_pair(Pair{std::fabs(x0), std::fabs(x1)});
            out[small[j]] = std::copysign(r[0], x0);
            out[small[j + 1]] = std::copysign(r[1], x1);
        }
        if (j < ns) out[small[j]] = erf(x[small[j]]);
        for (j = 0; j + 1 < nt; j += 2) {
            const double x0 = x[tail[j]], x1 = x[tail[j + 1]];
            const Pair r = erf_tail_pair(std::fabs(x0), std::fabs(x1));
            out[tail[j]] = std::copysign(r[0], x0);
            out[tail[j + 1]] = std::copysign(r[1], x1);
        }
        if (j < nt) out[tail[j]] = erf(x[tail[j]]);
        for (j = 0; j < no; ++j) out[other[j]] = erf(x[other[j]]);
    }
}

double erf_inv_kernel(double p, double q, double s) noexcept {
    double result;
    if (p <= 0.5) {
        const double g = (p + 10.0) * p;
        result = ratio(inv1_n, inv1_d, p) * g + g * inv1_y;
    } else {
        const double l = std::log(q);
        if (q >= 0.25) {
            const double t = q - 0.25;
            result = std::sqrt(-2.0 * l) / (ratio(inv2_n, inv2_d, t) + inv2_y);
        } else {
            const double x = std::sqrt(-l);
            if (x < 3.0) {
                result = ratio(inv3_n, inv3_d, x - 1.125) * x + inv3_y * x;
            } else if (x < 6.0) {
                result = ratio(inv4_n, inv4_d, x - 3.0) * x + inv4_y * x;
            } else if (x < 18.0) {
                result = ratio(inv5_n, inv5_d, x - 6.0) * x + inv5_y * x;
            } else if (x < 44.0) {
                result = ratio(inv6_n, inv6_d, x - 18.0) * x + inv6_y * x;
            } else {
                result = ratio(inv7_n, inv7_d, x - 44.0) * x + inv7_y * x;
            }
        }
    }
    return result * s;
}

}  // namespace quill
