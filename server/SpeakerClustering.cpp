#include "SpeakerClustering.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>

namespace server::SpeakerClustering {

namespace {

// Features arrive normalised to unit variance; the ridge keeps a short group's
// covariance invertible.
constexpr double kRidge = 0.01;
// Neighbouring frames are far from independent, so the textbook weight of 1
// splits one person into several; 3 was measured on real and synthetic voices.
constexpr double kPenaltyWeight = 3.0;

using Matrix = std::array<double, kDims * kDims>;

Vector meanOf(const Gaussian& stats)
{
    Vector mean {};
    for (int i = 0; i < kDims; ++i) {
        mean[i] = stats.sum[i] / stats.count;
    }
    return mean;
}

// Lower-triangular Cholesky factor of the group's covariance, in place.
Matrix choleskyOfCovariance(const Gaussian& stats)
{
    const Vector mean = meanOf(stats);
    Matrix a {};
    for (int i = 0; i < kDims; ++i) {
        for (int j = 0; j <= i; ++j) {
            a[i * kDims + j] = stats.products[i * kDims + j] / stats.count - mean[i] * mean[j];
        }
        a[i * kDims + i] += kRidge;
    }
    for (int j = 0; j < kDims; ++j) {
        double diagonal = a[j * kDims + j];
        for (int k = 0; k < j; ++k) {
            diagonal -= a[j * kDims + k] * a[j * kDims + k];
        }
        a[j * kDims + j] = std::sqrt(std::max(diagonal, kRidge * kRidge));
        for (int i = j + 1; i < kDims; ++i) {
            double value = a[i * kDims + j];
            for (int k = 0; k < j; ++k) {
                value -= a[i * kDims + k] * a[j * kDims + k];
            }
            a[i * kDims + j] = value / a[j * kDims + j];
        }
    }
    return a;
}

double logDeterminant(const Gaussian& stats)
{
    const Matrix l = choleskyOfCovariance(stats);
    double sum = 0;
    for (int i = 0; i < kDims; ++i) {
        sum += std::log(l[i * kDims + i]);
    }
    return 2 * sum;
}

double penalty(double count)
{
    constexpr double parameters = kDims + kDims * (kDims + 1) / 2.0;
    return kPenaltyWeight * 0.5 * parameters * std::log(count);
}

double deltaBic(const Gaussian& a, double logDetA, const Gaussian& b, double logDetB)
{
    Gaussian both = a;
    both.merge(b);
    return 0.5 * (both.count * logDeterminant(both) - a.count * logDetA - b.count * logDetB)
        - penalty(both.count);
}

struct Node
{
    Gaussian stats;
    double logDet = 0;
    bool alive = true;
};

class Agglomeration
{
public:
    explicit Agglomeration(std::vector<Node> nodes)
        : m_nodes(std::move(nodes))
        , m_distance(m_nodes.size() * m_nodes.size(), std::numeric_limits<float>::infinity())
        , m_best(m_nodes.size(), 0)
    {
        for (std::size_t i = 0; i < m_nodes.size(); ++i) {
            for (std::size_t j = i + 1; j < m_nodes.size(); ++j) {
                setDistance(i, j, distanceOf(i, j));
            }
        }
        for (std::size_t i = 0; i < m_nodes.size(); ++i) {
            findBest(i);
        }
    }

    std::size_t alive() const
    {
        return static_cast<std::size_t>(
            std::count_if(m_nodes.begin(), m_nodes.end(), [](const Node& n) { return n.alive; }));
    }

    // The closest pair, or none when one cluster is left.
    std::optional<std::pair<std::size_t, std::size_t>> closest() const
    {
        std::optional<std::pair<std::size_t, std::size_t>> result;
        float lowest = std::numeric_limits<float>::infinity();
        for (std::size_t i = 0; i < m_nodes.size(); ++i) {
            if (m_nodes[i].alive && at(i, m_best[i]) <= lowest && m_best[i] != i) {
                lowest = at(i, m_best[i]);
                result = std::pair { i, m_best[i] };
            }
        }
        return result;
    }

    float distance(std::size_t i, std::size_t j) const { return at(i, j); }

    // The living cluster nearest to `i`.
    std::size_t nearest(std::size_t i) const { return m_best[i]; }

    void merge(std::size_t into, std::size_t from)
    {
        m_nodes[into].stats.merge(m_nodes[from].stats);
        m_nodes[into].logDet = logDeterminant(m_nodes[into].stats);
        m_nodes[from].alive = false;
        for (std::size_t k = 0; k < m_nodes.size(); ++k) {
            setDistance(from, k, std::numeric_limits<float>::infinity());
            if (k != into && m_nodes[k].alive) {
                setDistance(into, k, distanceOf(into, k));
            }
        }
        findBest(into);
        for (std::size_t k = 0; k < m_nodes.size(); ++k) {
            if (!m_nodes[k].alive || k == into) {
                continue;
            }
            if (m_best[k] == into || m_best[k] == from) {
                findBest(k);
            } else if (at(k, into) < at(k, m_best[k])) {
                m_best[k] = into;
            }
        }
        m_merges.push_back({ from, into });
    }

    const std::vector<Node>& nodes() const { return m_nodes; }
    // Every merge, in order, so a caller can follow its groups.
    const std::vector<std::pair<std::size_t, std::size_t>>& merges() const { return m_merges; }

private:
    float at(std::size_t i, std::size_t j) const { return m_distance[i * m_nodes.size() + j]; }

    void setDistance(std::size_t i, std::size_t j, float value)
    {
        m_distance[i * m_nodes.size() + j] = value;
        m_distance[j * m_nodes.size() + i] = value;
    }

    float distanceOf(std::size_t i, std::size_t j) const
    {
        return static_cast<float>(
            deltaBic(m_nodes[i].stats, m_nodes[i].logDet, m_nodes[j].stats, m_nodes[j].logDet));
    }

    void findBest(std::size_t i)
    {
        m_best[i] = i;
        float lowest = std::numeric_limits<float>::infinity();
        for (std::size_t k = 0; k < m_nodes.size(); ++k) {
            if (k != i && m_nodes[k].alive && at(i, k) < lowest) {
                lowest = at(i, k);
                m_best[i] = k;
            }
        }
    }

    std::vector<Node> m_nodes;
    std::vector<float> m_distance;
    std::vector<std::size_t> m_best;
    std::vector<std::pair<std::size_t, std::size_t>> m_merges;
};

} // namespace

void Gaussian::add(const Vector& x)
{
    count += 1;
    for (int i = 0; i < kDims; ++i) {
        sum[i] += x[i];
        for (int j = 0; j <= i; ++j) {
            products[i * kDims + j] += x[i] * x[j];
        }
    }
}

void Gaussian::merge(const Gaussian& other)
{
    count += other.count;
    for (int i = 0; i < kDims; ++i) {
        sum[i] += other.sum[i];
    }
    for (std::size_t i = 0; i < products.size(); ++i) {
        products[i] += other.products[i];
    }
}

Model::Model(const Gaussian& stats)
    : m_mean(meanOf(stats))
    , m_cholesky(choleskyOfCovariance(stats))
{
    double logDet = 0;
    for (int i = 0; i < kDims; ++i) {
        logDet += 2 * std::log(m_cholesky[i * kDims + i]);
    }
    m_logNormaliser = -0.5 * (kDims * std::log(2 * std::numbers::pi) + logDet);
}

double Model::logLikelihood(const Vector& x) const
{
    // Forward substitution: the squared length of L⁻¹(x − μ).
    Vector y {};
    double squared = 0;
    for (int i = 0; i < kDims; ++i) {
        double value = x[i] - m_mean[i];
        for (int k = 0; k < i; ++k) {
            value -= m_cholesky[i * kDims + k] * y[k];
        }
        y[i] = value / m_cholesky[i * kDims + i];
        squared += y[i] * y[i];
    }
    return m_logNormaliser - 0.5 * squared;
}

double deltaBic(const Gaussian& a, const Gaussian& b)
{
    return deltaBic(a, logDeterminant(a), b, logDeterminant(b));
}

std::vector<int> cluster(const std::vector<Gaussian>& groups, int mostClusters, double leastCount)
{
    if (groups.size() > kMostGroups) {
        throw std::length_error("Too many groups to cluster.");
    }
    std::vector<Node> nodes;
    for (const auto& group : groups) {
        nodes.push_back({ group, logDeterminant(group), true });
    }
    Agglomeration tree(std::move(nodes));
    while (const auto pair = tree.closest()) {
        const bool tooMany = tree.alive() > static_cast<std::size_t>(mostClusters);
        if (!tooMany && tree.distance(pair->first, pair->second) >= 0) {
            break;
        }
        tree.merge(pair->first, pair->second);
    }
    // Stray clusters join their nearest, the smallest first.
    for (;;) {
        std::optional<std::size_t> smallest;
        for (std::size_t i = 0; i < tree.nodes().size(); ++i) {
            const auto& node = tree.nodes()[i];
            if (node.alive && node.stats.count < leastCount
                && (!smallest || node.stats.count < tree.nodes()[*smallest].stats.count)) {
                smallest = i;
            }
        }
        if (!smallest || tree.alive() < 2) {
            break;
        }
        tree.merge(tree.nearest(*smallest), *smallest);
    }
    std::vector<std::size_t> root(tree.nodes().size());
    for (std::size_t i = 0; i < root.size(); ++i) {
        root[i] = i;
    }
    for (const auto& [from, into] : tree.merges()) {
        root[from] = into;
    }
    const auto find = [&](std::size_t i) {
        while (root[i] != i) {
            i = root[i];
        }
        return i;
    };
    std::vector<int> labels;
    std::vector<std::size_t> seen;
    for (std::size_t group = 0; group < groups.size(); ++group) {
        const std::size_t r = find(group);
        auto found = std::find(seen.begin(), seen.end(), r);
        if (found == seen.end()) {
            found = seen.insert(seen.end(), r);
        }
        labels.push_back(static_cast<int>(found - seen.begin()));
    }
    return labels;
}

} // namespace server::SpeakerClustering
