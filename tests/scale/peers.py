"""datasketch as the independent peer for near-duplicate clusters (used by the tests and by
bench/bench_scale.py)."""
import re

from datasketch import MinHash, MinHashLSH
from scipy.cluster.hierarchy import DisjointSet

from quelvane_host.corpus import Document, read_partition


def datasketch_clusters(corpus, threshold):
    """Each document's cluster (the set of its members) by an independent MinHash (datasketch's
    own hash functions over 5-word shingles of the lower-cased words), its LSH index and its
    Jaccard estimate, then connected components."""
    index, sketches = MinHashLSH(threshold=threshold, num_perm=128), {}
    for partition in corpus.partitions():
        for record in read_partition(partition):
            if isinstance(record, Document):
                words = re.findall(r"\w+", record.text.lower())
                sketch = MinHash(num_perm=128)
                sketch.update_batch([" ".join(words[i:i + 5]).encode() for i in range(max(1, len(words) - 4))])
                sketches[record.id] = sketch
                index.insert(record.id, sketch)
    components = DisjointSet(sketches)
    for doc, sketch in sketches.items():
        for other in index.query(sketch):
            if other != doc and sketch.jaccard(sketches[other]) >= threshold:
                components.merge(doc, other)
    return {doc: frozenset(components.subset(doc)) for doc in sketches}


def same_cluster_pairs(clusters):
    return {(a, b) for members in set(clusters.values()) for a in members for b in members if a < b}


def agreement(ours, theirs):
    """(share of the peer's same-cluster pairs that we have too, F1 of the two pair sets)."""
    our_pairs, their_pairs = same_cluster_pairs(ours), same_cluster_pairs(theirs)
    shared = len(our_pairs & their_pairs)
    return shared / max(1, len(their_pairs)), 2 * shared / max(1, len(our_pairs) + len(their_pairs))
