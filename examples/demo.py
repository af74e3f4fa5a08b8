"""Mask the Palmer penguins table and show what was blanked.

Prints, per column, how many cells were blanked; for numeric columns, the mean
of the blanked values against the mean of the kept ones (under MNAR they
differ: cells near each column's centre go first); for text columns, which
labels lost cells. Writes a picture with the kept and blanked values of every
column and the missingness pattern of the result.

Text columns are masked through their label codes: a label's code is its rank
in alphabetical (bytewise) order, and the cells whose codes lie nearest the
column's centre go first. So a text column loses the label at its median code:
Chinstrap among the species (Adelie 0, Chinstrap 1, Gentoo 2), Dream among the
islands. That is the rule at work on the codes, not the table's order.

The table ships sorted by species, and the masker gives ties to the lowest row,
so the rows are shuffled (with a fixed seed) for the call and put back in their
order afterwards; --keep-order masks the table as it stands, to show the
clustering that the shuffle avoids.

Run it with `bash scripts/demo.sh [options]`, which builds the module into an
environment of its own first, or with `python examples/demo.py [options]` where
gapwright, pandas and matplotlib are installed.
"""

from __future__ import annotations

import argparse
import contextlib
import os
from pathlib import Path

import numpy as np
import pandas as pd

from gapwright import MNARrs

HERE = Path(__file__).resolve().parent


@contextlib.contextmanager
def quiet_stdout():
    """Silence the per-pass matrix dump, which is written to file descriptor 1."""
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
            yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def label_codes(column: pd.Series) -> list[str]:
    """A text column's labels in code order: the masker codes each label by its bytewise rank."""
    return sorted(column.unique(), key=lambda label: label.encode())


def median_label(column: pd.Series) -> str:
    labels = label_codes(column)
    codes = column.map({label: code for code, label in enumerate(labels)}).to_numpy()
    return labels[int(np.median(codes))]


def summarise(original: pd.DataFrame, masked: pd.DataFrame) -> pd.DataFrame:
    rows = []
    for name in original.columns:
        blank = masked[name].isna().to_numpy()
        row = {"column": name, "dtype": str(masked[name].dtype), "blanked": int(blank.sum()),
               "share": blank.mean()}
        if pd.api.types.is_numeric_dtype(original[name]):
            values = original[name].to_numpy(dtype=float)
            row["mean kept"] = values[~blank].mean()
            row["mean blanked"] = values[blank].mean() if blank.any() else np.nan
            row["median of column"] = np.median(values)
        else:
            lost = original[name][blank].value_counts()
            row["labels blanked"] = ", ".join(f"{label} {count}" for label, count in lost.items())
            row["median code's label"] = median_label(original[name])
        rows.append(row)
    columns = ["dtype", "blanked", "share", "mean kept", "mean blanked", "median of column",
               "labels blanked", "median code's label"]
    return pd.DataFrame(rows).set_index("column").reindex(columns=columns)


def describe_text_columns(original: pd.DataFrame) -> str:
    text = [c for c in original.columns if not pd.api.types.is_numeric_dtype(original[c])]
    codes = "; ".join(
        f"{name}: " + ", ".join(f"{label} {code}" for code, label in enumerate(label_codes(original[name])))
        for name in text
    )
    return ("Text columns are masked through their label codes, each label's rank in alphabetical order\n"
            f"({codes}):\nthe cells whose codes lie nearest the column's centre go first, so each text column "
            "loses the label\nat its median code. That is the MNAR rule at work on the codes, not the table's order.")


def mask_shuffled(masker: MNARrs, table: pd.DataFrame, alpha: float, seed: int) -> pd.DataFrame:
    """Masks the rows in a seeded random order and returns them in the table's order."""
    order = np.random.default_rng(seed).permutation(len(table))
    with quiet_stdout():
        masked = masker(table.iloc[order].reset_index(drop=True), alpha)
    return masked.iloc[np.argsort(order)].reset_index(drop=True)


KEPT, BLANKED = "#4C72B0", "#DD8452"


def plot_numeric(ax, values: np.ndarray, blank: np.ndarray, name: str) -> None:
    """Kept and blanked values stacked, so that the bars' outline is the whole column."""
    distinct = np.unique(values)
    if len(distinct) <= 12:
        # One bar per value (a year, say): shared bins would split or merge them.
        step = np.min(np.diff(distinct)) if len(distinct) > 1 else 1.0
        bins = np.r_[distinct - step / 2, distinct[-1] + step / 2]
    else:
        bins = np.histogram_bin_edges(values, bins=25)
    ax.hist([values[~blank], values[blank]], bins=bins, stacked=True, color=[KEPT, BLANKED],
            label=["kept", "blanked"], rwidth=0.8 if len(distinct) <= 12 else None)
    if len(distinct) <= 12:
        ax.set_xticks(distinct, [f"{value:g}" for value in distinct])
        ax.set_ylim(top=1.3 * np.unique(values, return_counts=True)[1].max())  # room for the legend
    ax.axvline(np.median(values), color="black", linestyle="--", linewidth=1, label="median")
    ax.set_title(f"{name}\n{blank.sum()} of {len(values)} blanked")
    ax.set_xlabel(name)
    ax.set_ylabel("penguins")
    ax.legend(fontsize=8)


def plot_text(ax, column: pd.Series, blank: np.ndarray, name: str) -> None:
    """Kept and blanked cells per label, the labels in code order."""
    labels = label_codes(column)
    kept = [int(((column == label) & ~blank).sum()) for label in labels]
    lost = [int(((column == label) & blank).sum()) for label in labels]
    codes = np.arange(len(labels))
    ax.bar(codes, kept, color=KEPT, label="kept")
    ax.bar(codes, lost, bottom=kept, color=BLANKED, label="blanked")
    ax.axvline(labels.index(median_label(column)), color="black", linestyle="--", linewidth=1,
               label="median code")
    ax.set_xticks(codes, [f"{code}: {label}" for code, label in zip(codes, labels)])
    ax.set_title(f"{name} (text)\n{blank.sum()} of {len(column)} blanked")
    ax.set_xlabel("label code (alphabetical rank)")
    ax.set_ylabel("penguins")
    ax.set_ylim(top=1.3 * max(k + b for k, b in zip(kept, lost)))  # room for the legend
    ax.legend(fontsize=8, loc="upper right")


def plot(original: pd.DataFrame, masked: pd.DataFrame, path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    numeric = [c for c in original.columns if pd.api.types.is_numeric_dtype(original[c])]
    text = [c for c in original.columns if c not in numeric]
    width = max(len(numeric), len(text) + 2)
    fig = plt.figure(figsize=(4 * width, 12), constrained_layout=True)
    grid = fig.add_gridspec(3, width)
    for i, name in enumerate(numeric):
        plot_numeric(fig.add_subplot(grid[0, i]), original[name].to_numpy(dtype=float),
                     masked[name].isna().to_numpy(), name)
    for i, name in enumerate(text):
        plot_text(fig.add_subplot(grid[1, i]), original[name], masked[name].isna().to_numpy(), name)
    note = fig.add_subplot(grid[1, len(text):])
    note.axis("off")
    note.text(0, 0.5, describe_text_columns(original), va="center", fontsize=10)
    ax = fig.add_subplot(grid[2, :])
    pattern = masked.isna().to_numpy().T
    ax.imshow(pattern, aspect="auto", interpolation="nearest", cmap="Greys")
    ax.set_yticks(range(len(masked.columns)), masked.columns)
    species = original["species"].to_numpy()
    starts = np.flatnonzero(np.r_[True, species[1:] != species[:-1]])
    ends = np.r_[starts[1:], len(species)]
    for start in starts[1:]:
        ax.axvline(start - 0.5, color="#C44E52", linewidth=1.5)
    top = ax.secondary_xaxis("top")
    top.set_xticks((starts + ends - 1) / 2, species[starts], color="#C44E52")
    top.tick_params(length=0)
    ax.set_xlabel("row of the table, in its shipped order (sorted by species)")
    ax.set_title("Missingness pattern of the result (black: blanked; a text column's holes fall on the "
                 "label at its median code, as above)", pad=20)
    fig.suptitle(title, fontsize=14)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--alpha", type=float, default=0.15,
                        help="share of the cells to blank (default %(default)s)")
    parser.add_argument("--variance", type=float, default=0.1,
                        help="spread of each column's Gaussian, as a multiple of the column's range; "
                        "above 0 the seed moves the holes (default %(default)s)")
    parser.add_argument("--seed", type=int, default=2026,
                        help="seed of the masker and of the row shuffle (default %(default)s)")
    parser.add_argument("--out", type=Path, default=Path("demo_output"),
                        help="where the picture goes: a .png file, or a folder to write "
                        "penguins_mnar.png (penguins_mnar_keep_order.png with --keep-order) in "
                        "(default %(default)s)")
    parser.add_argument("--keep-order", action="store_true",
                        help="mask the rows in their shipped order (ties cluster in the first rows)")
    args = parser.parse_args()

    # Cells that are already missing cannot be masked again, so start complete.
    table = pd.read_csv(HERE / "data" / "penguins.csv").dropna().reset_index(drop=True)
    table = table.astype({"species": "object", "island": "object", "sex": "object"})
    masker = MNARrs(variance=args.variance, seed=args.seed)
    if args.keep_order:
        with quiet_stdout():
            masked = masker(table, args.alpha)
    else:
        masked = mask_shuffled(masker, table, args.alpha, args.seed)

    print(f"Masked {len(table)} penguins x {len(table.columns)} columns at alpha = {args.alpha} "
          f"with {masker!r}, seed {args.seed}: {int(masked.isna().sum().sum())} cells blanked.\n")
    with pd.option_context("display.float_format", "{:.2f}".format, "display.width", 160):
        print(summarise(table, masked).to_string(na_rep=""))
    print("\n" + describe_text_columns(table))
    kept = masked.notna()
    survivors_equal = all(
        (masked[c][kept[c]].astype(object) == table[c][kept[c]].astype(object)).all()
        for c in table.columns
    )
    print(f"\nEvery surviving cell equals the input: {survivors_equal}")
    picture = args.out
    if picture.suffix.lower() != ".png":
        picture = picture / ("penguins_mnar_keep_order.png" if args.keep_order else "penguins_mnar.png")
    picture.parent.mkdir(parents=True, exist_ok=True)
    if args.keep_order:
        order = "rows masked in the table's order (sorted by species): ties fall on its first rows"
    else:
        order = "rows masked in a shuffled order, shown in the table's order"
    plot(table, masked, picture,
         f"gapwright MNAR masking of the Palmer penguins table, alpha = {args.alpha}, "
         f"variance = {args.variance}, seed {args.seed}\n{order}")
    print(f"Picture written to {picture}")


if __name__ == "__main__":
    main()
