#pragma once

#include <array>
#include <cstddef>
#include <vector>

// Gaussian voice models and their clustering by the Bayesian information
// criterion: two groups of frames are one speaker when one full-covariance
// Gaussian explains them better, after the penalty for the extra parameters,
// than two do. The criterion does not depend on how the features are scaled.
namespace server::SpeakerClustering {

constexpr int kDims = 13;
// The pairwise table of this many groups is 1500² floats, 9 MB.
constexpr std::size_t kMostGroups = 1500;
using Vector = std::array<double, kDims>;

// Sufficient statistics of a group of feature vectors.
struct Gaussian
{
    double count = 0;
    Vector sum {};
    std::array<double, kDims * kDims> products {};

    void add(const Vector& x);
    void merge(const Gaussian& other);
};

// A fitted Gaussian for scoring single frames.
class Model
{
public:
    explicit Model(const Gaussian& stats);
    double logLikelihood(const Vector& x) const;

private:
    Vector m_mean {};
    std::array<double, kDims * kDims> m_cholesky {};
    double m_logNormaliser = 0;
};

// How much worse one Gaussian explains both groups than two do, less the
// penalty for the second: below zero means they are one speaker.
double deltaBic(const Gaussian& a, const Gaussian& b);

// Clusters at most kMostGroups `groups` into at most `mostClusters`; returns one
// cluster index per group, numbered from 0 with no gaps. Clusters holding fewer
// than `leastCount` vectors when the criterion stops (a cough, a laugh) join the
// one nearest to them.
std::vector<int> cluster(const std::vector<Gaussian>& groups, int mostClusters, double leastCount);

} // namespace server::SpeakerClustering
