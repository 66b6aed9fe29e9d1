"""A corpus too big for one machine, read into Dask DataFrames.

    pip install 'tavrel[dask]'
    python examples/dask_corpus.py LOCATION [--scheduler tcp://host:8786]
                                   [--chunk-files 2000] [--parquet OUT_FOLDER]

LOCATION is a folder, an archive (.zip, .tar, .tar.gz, .tgz) or a URL that fsspec
opens (s3://bucket/corpus/, gs://..., https://host/corpus.zip, ...). The file names
are found once, here; each worker fetches the bytes of its own chunk (from the object
store, the web server or the archive: no shared disk is needed) and parses them with
`textgrids2table(names, contents=...)`.

The paths are cut into chunks; each chunk is read by one `tavrel.textgrids2table`
call on a Dask worker (which spreads the files over its own cores), and the Arrow
result becomes two pandas frames: the items, and one report row per file. So a
damaged file never stops the job: it shows up in the reports frame with its reason.

Each chunk is one task with two outputs (items, reports), so that every file is
read once however both frames are used; `dask.dataframe.from_delayed` turns the
two lists of outputs into the two frames.
"""

import argparse
import os

import dask
import dask.dataframe as dd
import pandas as pd
import pyarrow as pa

import tavrel
from tavrel import sources

ITEM_COLUMNS = {"file_id": "uint32", "file": "category", "tier_name": "category", "tier_index": "uint32",
                "is_interval": "bool", "tmin": "float64", "tmax": "float64", "label": "object"}
REPORT_COLUMNS = {"file_id": "uint32", "path": "object", "ok": "bool", "layout": "object",
                  "encoding": "object", "tmin": "float64", "tmax": "float64", "tiers": "uint32",
                  "items": "uint64", "error_kind": "object", "error": "object"}


def find_textgrids(folder):
    """Every *.TextGrid file below `folder` (any letter case), sorted; for an archive or
    a URL, the names of its TextGrid files (see tavrel.sources). A folder that cannot
    be searched raises its OSError rather than being skipped unseen."""
    if sources.is_archive(folder) or sources.is_url(str(folder)):
        return sources.find(folder)
    found = []
    for top, dirs, files in os.walk(folder, onerror=_raise):
        dirs.sort()
        found += [os.path.join(top, name) for name in sorted(files)
                  if name.lower().endswith(".textgrid")]
    return found


def _raise(error):
    raise error


def read_chunk(paths, first_id, strict=False):
    """(items, reports) of one chunk, with file ids counted over the whole corpus. Files
    in archives or behind URLs are fetched here, on the worker, and read from memory."""
    if any(sources.is_virtual(path) for path in paths):
        table = sources.read_names(paths, strict)
    else:
        table = tavrel.textgrids2table(paths, strict=strict)
    items = pa.table(table).to_pandas()
    reports = pa.table(table.reports).to_pandas()
    for frame in (items, reports):
        frame["file_id"] = (frame["file_id"] + first_id).astype("uint32")
    return items.astype(ITEM_COLUMNS), reports.astype(REPORT_COLUMNS)


def _empty(columns):
    return pd.DataFrame({name: pd.Series(dtype=kind) for name, kind in columns.items()})


def corpus_frames(paths, chunk_files=2000, strict=False):
    """Two lazy Dask DataFrames for the files in `paths`: (items, reports)."""
    chunks = [(paths[start:start + chunk_files], start)
              for start in range(0, len(paths), chunk_files)]
    parts = [dask.delayed(read_chunk, nout=2, pure=True)(chunk, start, strict)
             for chunk, start in chunks]
    items = dd.from_delayed([part[0] for part in parts], meta=_empty(ITEM_COLUMNS),
                            verify_meta=False)
    reports = dd.from_delayed([part[1] for part in parts], meta=_empty(REPORT_COLUMNS),
                              verify_meta=False)
    return items, reports


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("location", help="a folder, an archive or a URL")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler "
                        "(default: a local cluster of worker processes)")
    parser.add_argument("--chunk-files", type=int, default=2000)
    parser.add_argument("--parquet", metavar="OUT_FOLDER",
                        help="write items/ and reports/ Parquet datasets here")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    cluster = None if args.scheduler else LocalCluster(threads_per_worker=1)
    with Client(args.scheduler or cluster):
        items, reports = corpus_frames(find_textgrids(args.location), args.chunk_files)
        if args.parquet:
            # Both written in one computation: every chunk is read once.
            # Categories differ from chunk to chunk: one dictionary type for them all.
            words = pa.dictionary(pa.int32(), pa.string())
            dask.compute(
                items.to_parquet(os.path.join(args.parquet, "items"), compute=False,
                                 schema={"file": words, "tier_name": words}),
                reports.to_parquet(os.path.join(args.parquet, "reports"), compute=False))
            reports = dd.read_parquet(os.path.join(args.parquet, "reports"))
            items = dd.read_parquet(os.path.join(args.parquet, "items"))
        items_count, failed = dask.compute(items.shape[0], reports[~reports.ok])
    print(f"{items_count} items; {len(failed)} files failed")
    for path, kind, error in failed[["path", "error_kind", "error"]].itertuples(index=False):
        print(f"  {path} [{kind}]: {error}")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
