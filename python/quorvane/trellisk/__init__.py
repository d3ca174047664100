"""quorvane.trellisk: data loading and losses for training vision networks."""
