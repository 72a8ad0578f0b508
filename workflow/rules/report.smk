# What a person reads: the statistics of every chromosome in one table, the plots, and one
# self-contained page (Snakemake's own --report fetches files from the network as it builds).


rule gather_stats:
    input:
        per_chromosome(f"{OUTDIR}/work/{{chrom}}.stats.tsv"),
    output:
        f"{OUTDIR}/stats.tsv",
    log:
        f"{OUTDIR}/logs/gather_stats.log",
    threads: 1
    resources:
        mem_mb=200,
    # Every part starts with the same header line: keep the first one only.
    shell:
        explained(
            "awk 'NR == 1 || FNR > 1' {input:q} > {output:q} 2> {log:q}"
        )


rule plots:
    input:
        stats=f"{OUTDIR}/stats.tsv",
        histograms=per_chromosome(f"{OUTDIR}/work/{{chrom}}.sites_per_pir.tsv"),
    output:
        in_pirs=f"{OUTDIR}/plots/het_snps_in_pirs.png",
        per_sample=f"{OUTDIR}/plots/pirs_per_sample.png",
        sites=f"{OUTDIR}/plots/sites_per_pir.png",
        dropped=f"{OUTDIR}/plots/dropped_records.png",
    params:
        script=python("plots.py"),
    log:
        f"{OUTDIR}/logs/plots.log",
    threads: 1
    resources:
        mem_mb=1000,
    shell:
        explained(
            "{params.script} --log {log:q} --stats {input.stats:q}"
            " --histograms {input.histograms:q} --in-pirs {output.in_pirs:q}"
            " --per-sample {output.per_sample:q} --sites {output.sites:q}"
            " --dropped {output.dropped:q}"
        )


rule report:
    input:
        stats=f"{OUTDIR}/stats.tsv",
        plots=rules.plots.output,
    output:
        f"{OUTDIR}/report.html",
    params:
        script=python("report.py"),
        settings=json.dumps({**config, "program": PROGRAM, "vcf index": VCF_INDEX}),
        program=PROGRAM,
    log:
        f"{OUTDIR}/logs/report.log",
    threads: 1
    resources:
        mem_mb=500,
    shell:
        explained(
            "{params.script} --log {log:q} --stats {input.stats:q} --plots {input.plots:q}"
            " --settings {params.settings:q} --program {params.program:q} --out {output:q}"
        )
